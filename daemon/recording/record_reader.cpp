#include "recording/record_reader.h"

#include <algorithm>
#include <set>

#include <fmt/format.h>

#include "gzip/gzip_inflate.h"
#include "io/whole_file.h"

#include "recording/record_format.h"
#include "recording/record_parse.h"

namespace {

// Messages of one kind shown per file; the rest are only counted.
constexpr int most_messages = 10;

// A gzip member's first bytes as zlib writes them: the magic, deflate, and
// no flag bits that are reserved (which makes a chance match in compressed
// data rarer).
bool is_gzip(std::string_view bytes, size_t at)
{
    return bytes.size() >= at + 4 && static_cast<unsigned char>(bytes[at]) == 0x1f &&
           static_cast<unsigned char>(bytes[at + 1]) == 0x8b &&
           static_cast<unsigned char>(bytes[at + 2]) == 8 &&
           (static_cast<unsigned char>(bytes[at + 3]) & 0xe0) == 0;
}

// Where the next gzip member starts at or after `from`; npos when none does.
size_t next_member(std::string_view bytes, size_t from)
{
    for (size_t at = bytes.find('\x1f', from); at != std::string_view::npos; at = bytes.find('\x1f', at + 1))
        if (is_gzip(bytes, at))
            return at;
    return std::string_view::npos;
}

// What was passed over of compressed data that could not be inflated.
struct Damage {
    // Bytes passed over up to the next member; 0 where the member was cut
    // short by the next one, as a crash leaves it.
    size_t lost_bytes = 0;
    bool cut_by_next = false;  // the next member begins inside this one
};

// Feeds the lines of `bytes`, gzip or plain, to `text`; `damaged` hears of a
// member that could not be inflated, `member_end` of each member's end.
// Returns false when the compressed data ends inside a member.
template <typename Text, typename Damaged, typename MemberEnd>
bool inflate_members(std::string_view bytes, Text text, Damaged damaged, MemberEnd member_end,
                     size_t* consumed = nullptr)
{
    GzipInflate stream;
    static thread_local char out[1 << 18];
    size_t at = 0;
    size_t member_start = 0;
    bool inside = false;  // within a member
    // Goes on at the next member at or after `from`, which begins with a
    // keyframe.
    const auto go_on_from = [&](size_t from) {
        const size_t next = next_member(bytes, from);
        Damage damage;
        damage.cut_by_next = next != std::string_view::npos && next <= at;
        damage.lost_bytes = next == std::string_view::npos ? bytes.size() - std::min(at, bytes.size())
                            : next > at                    ? next - at
                                                           : 0;
        damaged(damage);
        at = next == std::string_view::npos ? bytes.size() : next;
        member_start = at;
    };
    while (at < bytes.size()) {
        const GzipInflate::Step step = stream.inflate(bytes.substr(at), out, sizeof out);
        at += step.used;
        if (consumed != nullptr)
            *consumed = at;
        inside = true;
        if (step.produced > 0)
            text(std::string_view(out, step.produced));
        if (step.status == GzipInflate::Status::member_end) {
            inside = false;
            member_end();
            stream.reset();
            member_start = at;
            if (at < bytes.size() && !is_gzip(bytes, at))
                go_on_from(at);
        } else if (step.status == GzipInflate::Status::cut_short) {
            break;
        } else if (step.status == GzipInflate::Status::damaged) {
            // A member cut short by a crash is followed by the next start's
            // member, which the inflater took for more of this one: look
            // for it from just after this member's start, not from where
            // the inflater gave up.
            go_on_from(member_start + 1);
            inside = false;
            stream.reset();
        }
    }
    return !inside;
}

}  // namespace

// One file's lines, and what went wrong with them.
class RecordReader::File {
public:
    File(RecordReader& reader, const std::string& name, Recording& into, size_t size)
        : reader_(reader), name_(name), into_(into), size_(size)
    {}

    size_t consumed = 0;  // input bytes read so far

    void text(std::string_view chunk)
    {
        while (!chunk.empty()) {
            const size_t end = chunk.find('\n');
            if (end == std::string_view::npos) {
                carry_.append(chunk);
                return;
            }
            if (carry_.empty()) {
                line(chunk.substr(0, end));
            } else {
                carry_.append(chunk.substr(0, end));
                line(carry_);
                carry_.clear();
            }
            chunk.remove_prefix(end + 1);
        }
    }

    // A member that ends inside a line cut that line.
    void member_end()
    {
        if (!carry_.empty())
            cut("record cut short where a gzip member ends");
    }

    void damaged(const Damage& damage)
    {
        ++line_;
        carry_.clear();
        skipped(damage.cut_by_next
                    ? std::string("compressed data cut short where the next gzip member begins (a crash?); "
                                  "read on from there")
                    : fmt::format("compressed data damaged; {} bytes passed over, up to the next gzip member",
                                  damage.lost_bytes));
        skipping_ = true;  // what follows needs a keyframe
    }

    void end(bool stream_complete)
    {
        if (!carry_.empty())
            cut(stream_complete ? "last record cut short" : "compressed data cut short inside this record");
        else if (!stream_complete)
            say(line_, "compressed data cut short after this line");
        if (shown_bad_ > most_messages)
            say(line_, fmt::format("{} more bad records not shown", shown_bad_ - most_messages));
    }

private:
    void say(uint64_t line, const std::string& text)
    {
        reader_.report_(fmt::format("{}:{}: {}", name_, line, text));
    }

    void skipped(const std::string& why)
    {
        ++reader_.skipped_;
        if (++shown_bad_ <= most_messages)
            say(line_, why);
    }

    void cut(const char* why)
    {
        ++line_;
        carry_.clear();
        skipped(std::string(why) + "; skipped");
    }

    void line(std::string_view text)
    {
        ++line_;
        if (text.empty())
            return;
        ParseResult result = parse_record(text, into_);
        for (const std::string& field : result.unknown)
            if (unknown_.insert(field).second)
                say(line_, "field '" + field + "' is unknown (a newer format?); passed over");
        switch (result.kind) {
        case Parsed::header: header(); break;
        case Parsed::tick: tick(); break;
        case Parsed::no_header: skipped("record before any header; skipped"); break;
        case Parsed::no_base:
            ++reader_.skipped_;
            if (!skipping_)
                say(line_,
                    "record follows no record it can be read against; skipped up to the next keyframe");
            skipping_ = true;
            break;
        case Parsed::bad: skipped(result.why + "; record skipped"); break;
        }
    }

    void header()
    {
        skipping_ = false;
        const int format = into_.headers.back().format;
        if (format > record_format && !newer_told_) {
            say(line_, fmt::format("recording format {} is newer than this program's ({}); what it does not "
                                   "know is passed over",
                                   format, record_format));
            newer_told_ = true;
        }
    }

    void tick()
    {
        // Once the first ticks show how many bytes a tick takes, room for
        // the rest of the file (unless the ticks are taken as they come).
        if (++ticks_ == reserve_after && !reader_.taken_ && consumed > 0 && consumed < size_)
            into_.reserve_ticks(
                static_cast<size_t>(static_cast<double>(ticks_) * static_cast<double>(size_ - consumed) /
                                    static_cast<double>(consumed)));
        const TickRow& now = into_.ticks.back();
        if (now.host_open)
            skipping_ = false;
        if (into_.ticks.size() < 2) {
            taken();
            return;
        }
        const TickRow& before = into_.ticks[into_.ticks.size() - 2];
        // A daemon started afresh may have a clock that starts lower.
        const bool restarted =
            now.header != before.header && into_.headers[now.header].reason == HeaderReason::start;
        if (!restarted && now.clock_ns <= before.clock_ns) {
            const int64_t back = before.clock_ns - now.clock_ns;
            into_.drop_last_tick();
            skipped(back == 0        ? std::string("clock does not advance; record skipped")
                    : back < 1000000 ? fmt::format("clock steps back by {} ns; record skipped", back)
                                     : fmt::format("clock steps back by {:.3f} s; record skipped",
                                                   static_cast<double>(back) / 1e9));
            return;
        }
        taken();
    }

    void taken()
    {
        if (reader_.taken_)
            reader_.taken_(into_.ticks.size() - 1);
    }

    static constexpr uint64_t reserve_after = 4096;

    RecordReader& reader_;
    const std::string& name_;
    Recording& into_;
    size_t size_;
    uint64_t ticks_ = 0;
    uint64_t line_ = 0;
    std::string carry_;
    bool skipping_ = false;
    bool newer_told_ = false;
    int shown_bad_ = 0;
    std::set<std::string> unknown_;
};

bool RecordReader::read(const std::string& path, Recording& into)
{
    std::string bytes;
    std::string error;
    if (!read_whole_file(path, bytes, error)) {
        report_(fmt::format("{}: cannot be read: {}", path, error));
        return false;
    }
    read_bytes(bytes, path, into);
    return true;
}

void RecordReader::read_bytes(std::string_view bytes, const std::string& name, Recording& into)
{
    File file(*this, name, into, bytes.size());
    if (!is_gzip(bytes, 0)) {
        file.consumed = bytes.size() / 2;  // a guess: plain files are small
        file.text(bytes);
        file.end(true);
        return;
    }
    const bool complete = inflate_members(
        bytes, [&file](std::string_view text) { file.text(text); },
        [&file](const Damage& damage) { file.damaged(damage); }, [&file] { file.member_end(); },
        &file.consumed);
    file.end(complete);
}

std::optional<FirstHeader> first_header(std::string_view start)
{
    std::string first_line;
    bool done = false;
    auto take = [&](std::string_view text) {
        if (done)
            return;
        const size_t end = text.find('\n');
        first_line.append(text.substr(0, end));
        done = end != std::string_view::npos;
    };
    if (is_gzip(start, 0))
        // A first member cut short leaves its line to the next member's.
        inflate_members(
            start, take,
            [&](const Damage&) {
                if (!done)
                    first_line.clear();
            },
            [] {});
    else
        take(start);
    Recording recording;
    if (!done || parse_record(first_line, recording).kind != Parsed::header)
        return std::nullopt;
    return FirstHeader{first_line, recording.headers.front().wall_ns};
}
