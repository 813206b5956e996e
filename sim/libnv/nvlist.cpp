// Name/value lists kept as a vector of entries in insertion order.
#include "nv.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

struct nvlist;

namespace {

struct Entry {
    std::string name;
    int type = NV_TYPE_NULL;
    bool flag = false;
    uint64_t number = 0;
    std::string text;
    std::unique_ptr<nvlist> child;
};

}  // namespace

struct nvlist {
    int flags = 0;
    int error = 0;
    std::vector<Entry> entries;
};

namespace {

constexpr char pack_magic[4] = {'N', 'V', 'S', '1'};
constexpr int max_depth = 32;  // unpacking recurses once per nesting level

bool has_name(const nvlist& list, const std::string& name)
{
    for (const Entry& entry : list.entries)
        if (entry.name == name)
            return true;
    return false;
}

const Entry* find(const nvlist* list, const char* name, int type)
{
    if (!list || !name)
        return nullptr;
    for (const Entry& entry : list->entries)
        if (entry.name == name)
            return entry.type == type ? &entry : nullptr;
    return nullptr;
}

// The common checks of every addition; null when nothing may be added.
Entry* add_entry(nvlist* list, const char* name, int type, bool value_present)
{
    if (!list || list->error)
        return nullptr;
    if (!name || !*name || !value_present) {
        list->error = EINVAL;
        return nullptr;
    }
    if (has_name(*list, name)) {
        list->error = EEXIST;
        return nullptr;
    }
    try {
        Entry& entry = list->entries.emplace_back();
        entry.name = name;
        entry.type = type;
        return &entry;
    } catch (const std::bad_alloc&) {
        list->error = ENOMEM;
        return nullptr;
    }
}

std::unique_ptr<nvlist> clone(const nvlist& source)
{
    auto copy = std::make_unique<nvlist>();
    copy->flags = source.flags;
    copy->error = source.error;
    for (const Entry& entry : source.entries) {
        Entry& to = copy->entries.emplace_back();
        to.name = entry.name;
        to.type = entry.type;
        to.flag = entry.flag;
        to.number = entry.number;
        to.text = entry.text;
        if (entry.child)
            to.child = clone(*entry.child);
    }
    return copy;
}

void put_u32(std::string& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

void put_u64(std::string& out, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

void pack_into(std::string& out, const nvlist& list)
{
    put_u32(out, static_cast<uint32_t>(list.flags));
    put_u32(out, static_cast<uint32_t>(list.entries.size()));
    for (const Entry& entry : list.entries) {
        out.push_back(static_cast<char>(entry.type));
        put_u32(out, static_cast<uint32_t>(entry.name.size()));
        out += entry.name;
        switch (entry.type) {
        case NV_TYPE_BOOL: out.push_back(entry.flag ? 1 : 0); break;
        case NV_TYPE_NUMBER: put_u64(out, entry.number); break;
        case NV_TYPE_STRING:
            put_u32(out, static_cast<uint32_t>(entry.text.size()));
            out += entry.text;
            break;
        case NV_TYPE_NVLIST: pack_into(out, *entry.child); break;
        default: break;
        }
    }
}

// Reads a packed buffer, refusing anything that runs past its end.
class Reader {
public:
    Reader(const unsigned char* data, size_t size) : data_(data), size_(size) {}

    bool u8(uint8_t& value)
    {
        if (size_ - pos_ < 1)
            return false;
        value = data_[pos_++];
        return true;
    }
    bool u32(uint32_t& value)
    {
        if (size_ - pos_ < 4)
            return false;
        value = 0;
        for (int i = 0; i < 4; ++i)
            value |= static_cast<uint32_t>(data_[pos_++]) << (8 * i);
        return true;
    }
    bool u64(uint64_t& value)
    {
        if (size_ - pos_ < 8)
            return false;
        value = 0;
        for (int i = 0; i < 8; ++i)
            value |= static_cast<uint64_t>(data_[pos_++]) << (8 * i);
        return true;
    }
    bool text(std::string& value, uint32_t length)
    {
        if (size_ - pos_ < length)
            return false;
        value.assign(reinterpret_cast<const char*>(data_ + pos_), length);
        pos_ += length;
        return true;
    }
    bool done() const { return pos_ == size_; }

private:
    const unsigned char* data_;
    size_t size_;
    size_t pos_ = 0;
};

bool unpack_from(Reader& in, nvlist& list, int depth)
{
    if (depth > max_depth)
        return false;
    uint32_t flags = 0;
    uint32_t count = 0;
    if (!in.u32(flags) || !in.u32(count))
        return false;
    list.flags = static_cast<int>(flags);
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t type = 0;
        uint32_t length = 0;
        Entry entry;
        if (!in.u8(type) || !in.u32(length) || !in.text(entry.name, length))
            return false;
        entry.type = type;
        switch (type) {
        case NV_TYPE_NULL: break;
        case NV_TYPE_BOOL: {
            uint8_t flag = 0;
            if (!in.u8(flag) || flag > 1)
                return false;
            entry.flag = flag == 1;
            break;
        }
        case NV_TYPE_NUMBER:
            if (!in.u64(entry.number))
                return false;
            break;
        case NV_TYPE_STRING:
            if (!in.u32(length) || !in.text(entry.text, length))
                return false;
            if (entry.text.find('\0') != std::string::npos)
                return false;
            break;
        case NV_TYPE_NVLIST:
            entry.child = std::make_unique<nvlist>();
            if (!unpack_from(in, *entry.child, depth + 1))
                return false;
            break;
        default: return false;
        }
        if (entry.name.empty() || entry.name.find('\0') != std::string::npos || has_name(list, entry.name))
            return false;
        list.entries.push_back(std::move(entry));
    }
    return true;
}

}  // namespace

extern "C" {

nvlist_t* FreeBSD_nvlist_create(int flags)
{
    nvlist* list = new (std::nothrow) nvlist;
    if (!list) {
        errno = ENOMEM;
        return nullptr;
    }
    list->flags = flags;
    return list;
}

void FreeBSD_nvlist_destroy(nvlist_t* list)
{
    int saved = errno;
    delete list;
    errno = saved;
}

int FreeBSD_nvlist_error(const nvlist_t* list) { return list ? list->error : ENOMEM; }

bool FreeBSD_nvlist_exists(const nvlist_t* list, const char* name)
{
    return list && name && has_name(*list, name);
}

void* FreeBSD_nvlist_pack(const nvlist_t* list, size_t* size)
{
    if (!list || !size || list->error) {
        errno = list && list->error ? list->error : EINVAL;
        return nullptr;
    }
    try {
        std::string out(pack_magic, sizeof pack_magic);
        pack_into(out, *list);
        void* buffer = std::malloc(out.size());
        if (!buffer) {
            errno = ENOMEM;
            return nullptr;
        }
        std::memcpy(buffer, out.data(), out.size());
        *size = out.size();
        return buffer;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return nullptr;
    }
}

nvlist_t* FreeBSD_nvlist_unpack(const void* buffer, size_t size, int)
{
    if (!buffer || size < sizeof pack_magic || std::memcmp(buffer, pack_magic, sizeof pack_magic) != 0) {
        errno = EINVAL;
        return nullptr;
    }
    try {
        auto list = std::make_unique<nvlist>();
        Reader in(static_cast<const unsigned char*>(buffer) + sizeof pack_magic, size - sizeof pack_magic);
        if (!unpack_from(in, *list, 0) || !in.done()) {
            errno = EINVAL;
            return nullptr;
        }
        return list.release();
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return nullptr;
    }
}

void FreeBSD_nvlist_add_bool(nvlist_t* list, const char* name, bool value)
{
    if (Entry* entry = add_entry(list, name, NV_TYPE_BOOL, true))
        entry->flag = value;
}

void FreeBSD_nvlist_add_number(nvlist_t* list, const char* name, uint64_t value)
{
    if (Entry* entry = add_entry(list, name, NV_TYPE_NUMBER, true))
        entry->number = value;
}

void FreeBSD_nvlist_add_string(nvlist_t* list, const char* name, const char* value)
{
    if (Entry* entry = add_entry(list, name, NV_TYPE_STRING, value != nullptr))
        entry->text = value;
}

void FreeBSD_nvlist_add_nvlist(nvlist_t* list, const char* name, const nvlist_t* value)
{
    if (value == list && list) {
        list->error = EINVAL;  // a list cannot hold itself
        return;
    }
    if (Entry* entry = add_entry(list, name, NV_TYPE_NVLIST, value != nullptr)) {
        try {
            entry->child = clone(*value);
        } catch (const std::bad_alloc&) {
            list->entries.pop_back();
            list->error = ENOMEM;
        }
    }
}

bool FreeBSD_nvlist_get_bool(const nvlist_t* list, const char* name)
{
    const Entry* entry = find(list, name, NV_TYPE_BOOL);
    return entry && entry->flag;
}

uint64_t FreeBSD_nvlist_get_number(const nvlist_t* list, const char* name)
{
    const Entry* entry = find(list, name, NV_TYPE_NUMBER);
    return entry ? entry->number : 0;
}

const char* FreeBSD_nvlist_get_string(const nvlist_t* list, const char* name)
{
    const Entry* entry = find(list, name, NV_TYPE_STRING);
    return entry ? entry->text.c_str() : nullptr;
}

const nvlist_t* FreeBSD_nvlist_get_nvlist(const nvlist_t* list, const char* name)
{
    const Entry* entry = find(list, name, NV_TYPE_NVLIST);
    return entry ? entry->child.get() : nullptr;
}

const char* FreeBSD_nvlist_next(const nvlist_t* list, int* type, void** cookie)
{
    if (!list || !cookie)
        return nullptr;
    // The cookie holds the index of the next entry.
    auto index = reinterpret_cast<uintptr_t>(*cookie);
    if (index >= list->entries.size())
        return nullptr;
    const Entry& entry = list->entries[index];
    *cookie = reinterpret_cast<void*>(index + 1);
    if (type)
        *type = entry.type;
    return entry.name.c_str();
}

}  // extern "C"
