#include "replay/tick_tape.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

#include <unistd.h>

#include "io/write_all.h"

namespace {

// Written out, and read back, in pieces of about this size.
constexpr size_t piece = size_t{1} << 20;

template <typename T>
uint64_t as_bits(T value)
{
    if constexpr (std::is_enum_v<T>)
        return static_cast<uint64_t>(static_cast<std::underlying_type_t<T>>(value));
    else
        return static_cast<uint64_t>(value);
}

template <typename T>
T from_bits(uint64_t bits)
{
    if constexpr (std::is_enum_v<T>)
        return static_cast<T>(static_cast<std::underlying_type_t<T>>(bits));
    else if constexpr (std::is_same_v<T, bool>)
        return bits != 0;
    else
        return static_cast<T>(bits);
}

// Differences as zigzag varints: small either way, small on the tape.
class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {}
    template <typename T>
    void operator()(T& now, const T& before)
    {
        const auto step = static_cast<int64_t>(as_bits(now) - as_bits(before));
        put((static_cast<uint64_t>(step) << 1) ^ static_cast<uint64_t>(step >> 63));
    }
    void put(uint64_t value)
    {
        while (value >= 0x80) {
            out_.push_back(static_cast<char>(value | 0x80));
            value >>= 7;
        }
        out_.push_back(static_cast<char>(value));
    }

private:
    std::string& out_;
};

class Reader {
public:
    Reader(const uint8_t* at, const uint8_t* end) : at_(at), end_(end) {}
    template <typename T>
    void operator()(T& now, const T& before)
    {
        const uint64_t zigzag = get();
        const uint64_t step = (zigzag >> 1) ^ (~(zigzag & 1) + 1);
        now = from_bits<T>(as_bits(before) + step);
    }
    uint64_t get()
    {
        // Most are a byte or two, well before the end.
        if (end_ - at_ >= 2) {
            if ((at_[0] & 0x80) == 0)
                return *at_++;
            if ((at_[1] & 0x80) == 0) {
                const uint64_t value = (at_[0] & 0x7fu) | static_cast<uint64_t>(at_[1]) << 7;
                at_ += 2;
                return value;
            }
        }
        uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (at_ == end_) {
                bad_ = true;
                return 0;
            }
            const uint8_t byte = *at_++;
            value |= static_cast<uint64_t>(byte & 0x7f) << shift;
            if ((byte & 0x80) == 0)
                return value;
        }
        bad_ = true;
        return 0;
    }
    bool bad() const { return bad_; }
    bool done() const { return at_ == end_; }
    const uint8_t* at() const { return at_; }

private:
    const uint8_t* at_;
    const uint8_t* end_;
    bool bad_ = false;
};

// The fields a tick's row keeps, in the tape's order; where the rows of a
// tick are is the reader's to say.
template <typename S>
void tick_fields(S& s, TickRow& t, const TickRow& b)
{
    s(t.seq, b.seq);
    s(t.clock_ns, b.clock_ns);
    s(t.wall_ns, b.wall_ns);
    s(t.header, b.header);
    s(t.host_open, b.host_open);
    s(t.error, b.error);
    s(t.cpu_read, b.cpu_read);
    s(t.cpu.user, b.cpu.user);
    s(t.cpu.nice, b.cpu.nice);
    s(t.cpu.sys, b.cpu.sys);
    s(t.cpu.intr, b.cpu.intr);
    s(t.cpu.idle, b.cpu.idle);
    s(t.cpu.valid, b.cpu.valid);
    for (auto [now, before] :
         {std::pair{&t.class1, &b.class1}, std::pair{&t.class2, &b.class2}, std::pair{&t.burst, &b.burst}}) {
        s(now->read, before->read);
        s(now->ok, before->ok);
        s(now->value, before->value);
    }
    s(t.class1_written, b.class1_written);
    s(t.class1_write, b.class1_write);
    s(t.class2_written, b.class2_written);
    s(t.class2_write, b.class2_write);
    s(t.rebuilt, b.rebuilt);
    s(t.process_count, b.process_count);
    s(t.vm_count, b.vm_count);
}

template <typename S>
void vm_fields(S& s, VmRow& v, const VmRow& b)
{
    s(v.pid, b.pid);
    s(v.group, b.group);
    s(v.name, b.name);
    s(v.outcome, b.outcome);
    s(v.threads_read, b.threads_read);
    s(v.cls, b.cls);
    s(v.set_to, b.set_to);
    s(v.set_result, b.set_result);
    s(v.vcpu_count, b.vcpu_count);
}

template <typename S>
void vcpu_fields(S& s, VcpuRow& v, const VcpuRow& b)
{
    s(v.number, b.number);
    s(v.throttle, b.throttle);
    s(v.run_us, b.run_us);
    s(v.throttle_us, b.throttle_us);
}

template <typename S>
void process_fields(S& s, ProcessRow& p)
{
    const ProcessRow none;
    s(p.group, none.group);
    s(p.pid, none.pid);
    s(p.name, none.name);
}

constexpr VmRow no_vm{};
constexpr VcpuRow no_vcpu{};

// The row at `i` of the tick before, or `none`.
template <typename Row>
const Row& before(const std::vector<Row>& rows, size_t i, const Row& none)
{
    return i < rows.size() ? rows[i] : none;
}

std::string why(const char* what, int error) { return std::string(what) + ": " + std::strerror(error); }

}  // namespace

TickTape::~TickTape()
{
    if (fd_ >= 0)
        ::close(fd_);
}

TickTape::TickTape(TickTape&& other) noexcept { *this = std::move(other); }

TickTape& TickTape::operator=(TickTape&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        buffer_ = std::move(other.buffer_);
        written_ = std::exchange(other.written_, 0);
        last_tick_ = other.last_tick_;
        last_vms_ = std::move(other.last_vms_);
        last_vcpus_ = std::move(other.last_vcpus_);
        headers_ = std::move(other.headers_);
        texts_ = std::move(other.texts_);
    }
    return *this;
}

bool TickTape::open(std::string& error)
{
    const char* dir = std::getenv("TMPDIR");
    // /var/tmp, not /tmp: a week's tape is a gigabyte, and /tmp may be
    // memory.
    std::string path =
        std::string(dir != nullptr && *dir != '\0' ? dir : "/var/tmp") + "/halvorn-replay.XXXXXX";
    const int fd = ::mkstemp(path.data());
    if (fd < 0) {
        error = why(path.c_str(), errno);
        return false;
    }
    // Nobody else needs its name, and it goes when the last worker does.
    ::unlink(path.c_str());
    fd_ = fd;
    return true;
}

bool TickTape::append(const Recording& recording, size_t index, std::string& error)
{
    if (fd_ < 0)
        return false;
    const TickRow& tick = recording.ticks[index];
    std::string record;
    Writer write(record);
    TickRow t = tick;
    tick_fields(write, t, last_tick_);
    std::vector<VmRow> vms(recording.vms_of(tick).begin(), recording.vms_of(tick).end());
    std::vector<VcpuRow> vcpus;
    for (size_t i = 0; i < vms.size(); ++i) {
        vm_fields(write, vms[i], before(last_vms_, i, no_vm));
        for (VcpuRow vcpu : recording.vcpus_of(vms[i])) {
            vcpu_fields(write, vcpu, before(last_vcpus_, vcpus.size(), no_vcpu));
            vcpus.push_back(vcpu);
        }
    }
    for (ProcessRow process : recording.processes_of(tick))
        process_fields(write, process);
    Writer(buffer_).put(record.size());
    buffer_ += record;
    last_tick_ = tick;
    last_vms_ = std::move(vms);
    last_vcpus_ = std::move(vcpus);
    return buffer_.size() < piece || flush(error);
}

bool TickTape::flush(std::string& error)
{
    int errno_value = 0;
    if (write_all(fd_, buffer_, errno_value) != buffer_.size()) {
        error = why("the replay's tick file", errno_value != 0 ? errno_value : ENOSPC);
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    written_ += buffer_.size();
    buffer_.clear();
    return true;
}

bool TickTape::finish(const Recording& recording, std::string& error)
{
    if (fd_ < 0 || !flush(error))
        return false;
    buffer_.shrink_to_fit();
    last_vms_ = {};
    last_vcpus_ = {};
    headers_ = recording.headers;
    texts_.clear();
    for (size_t i = 0; i < recording.text_count(); ++i)
        texts_.push_back(recording.text(static_cast<uint32_t>(i)));
    return true;
}

bool TickTape::play(Recording& into, const RecordReader::TickTaken& taken, std::string& error) const
{
    into.clear_rows();
    into.clear_texts();
    for (const std::string& text : texts_)
        into.intern(text);
    into.headers = headers_;

    std::vector<uint8_t> bytes;
    size_t start = 0;  // of the unread bytes
    uint64_t offset = 0;
    TickRow last_tick;
    std::vector<VmRow> last_vms;
    std::vector<VcpuRow> last_vcpus;
    // Reads on until `bytes` holds `needed` unread ones; false at the end.
    const auto fill = [&](size_t needed) {
        if (bytes.size() - start >= needed)
            return true;
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(start));
        start = 0;
        while (bytes.size() < needed && offset < written_) {
            const size_t held = bytes.size();
            bytes.resize(held + std::max(piece, needed - held));
            const ssize_t got =
                ::pread(fd_, bytes.data() + held, bytes.size() - held, static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR) {
                bytes.resize(held);
                continue;
            }
            if (got <= 0) {
                bytes.resize(held);
                error =
                    got < 0 ? why("the replay's tick file", errno) : "the replay's tick file is cut short";
                return false;
            }
            bytes.resize(held + static_cast<size_t>(got));
            offset += static_cast<uint64_t>(got);
        }
        return bytes.size() >= needed;
    };
    while (offset < written_ || start < bytes.size()) {
        // A record's length takes at most ten bytes, fewer at the very end.
        fill(10);
        if (!error.empty())
            return false;
        Reader length(bytes.data() + start, bytes.data() + bytes.size());
        const uint64_t size = length.get();
        const auto head = static_cast<size_t>(length.at() - (bytes.data() + start));
        if (length.bad() || size > written_ || !fill(head + size)) {
            if (error.empty())
                error = "the replay's tick file is damaged";
            return false;
        }
        Reader read(bytes.data() + start + head, bytes.data() + start + head + size);
        start += head + size;

        TickRow tick;
        tick_fields(read, tick, last_tick);
        tick.first_vm = static_cast<uint32_t>(into.vms.size());
        tick.first_vcpu = static_cast<uint32_t>(into.vcpus.size());
        tick.first_process = static_cast<uint32_t>(into.processes.size());
        // The rows of the tick before become this tick's where they are, a
        // field at a time; those beyond them start from none.
        size_t vcpu_at = 0;
        for (uint32_t i = 0; i < tick.vm_count && !read.bad(); ++i) {
            if (i == last_vms.size())
                last_vms.emplace_back();
            VmRow& vm = last_vms[i];
            vm_fields(read, vm, vm);
            vm.first_vcpu = tick.first_vcpu + static_cast<uint32_t>(vcpu_at);
            // One at a time: a damaged count runs into the record's end.
            for (uint32_t k = 0; k < vm.vcpu_count && !read.bad(); ++k) {
                if (vcpu_at + k == last_vcpus.size())
                    last_vcpus.emplace_back();
                VcpuRow& vcpu = last_vcpus[vcpu_at + k];
                vcpu_fields(read, vcpu, vcpu);
            }
            vcpu_at += vm.vcpu_count;
        }
        if (read.bad()) {
            error = "the replay's tick file is damaged";
            return false;
        }
        last_vms.resize(tick.vm_count);
        last_vcpus.resize(vcpu_at);
        for (uint32_t i = 0; i < tick.process_count && !read.bad(); ++i) {
            ProcessRow process;
            process_fields(read, process);
            into.processes.push_back(process);
        }
        if (read.bad() || !read.done() || tick.header >= into.headers.size()) {
            error = "the replay's tick file is damaged";
            return false;
        }
        into.vms.insert(into.vms.end(), last_vms.begin(), last_vms.end());
        into.vcpus.insert(into.vcpus.end(), last_vcpus.begin(), last_vcpus.end());
        into.ticks.push_back(tick);
        last_tick = tick;
        taken(into.ticks.size() - 1);
    }
    return true;
}
