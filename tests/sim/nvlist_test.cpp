// The simulator's libnv: lists survive packing, and packed input is never trusted.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "libnv/nv.h"

namespace {

struct List {
    nvlist_t* list = FreeBSD_nvlist_create(0);
    ~List() { FreeBSD_nvlist_destroy(list); }
};

std::vector<std::string> names(const nvlist_t* list, std::vector<int>* types = nullptr)
{
    std::vector<std::string> out;
    void* cookie = nullptr;
    int type = 0;
    while (const char* name = FreeBSD_nvlist_next(list, &type, &cookie)) {
        out.push_back(name);
        if (types)
            types->push_back(type);
    }
    return out;
}

TEST(Nvlist, PackAndUnpackKeepEveryTypeInOrder)
{
    List inner;
    FreeBSD_nvlist_add_string(inner.list, "disk", "/dev/zvol/vm0");
    List outer;
    FreeBSD_nvlist_add_number(outer.list, "memory", 1ULL << 33);
    FreeBSD_nvlist_add_bool(outer.list, "paused", true);
    FreeBSD_nvlist_add_string(outer.list, "name", "web01");
    FreeBSD_nvlist_add_nvlist(outer.list, "devices", inner.list);
    // The nested list was copied: later changes of the original do not show.
    FreeBSD_nvlist_add_string(inner.list, "late", "x");
    ASSERT_EQ(FreeBSD_nvlist_error(outer.list), 0);

    size_t size = 0;
    void* packed = FreeBSD_nvlist_pack(outer.list, &size);
    ASSERT_NE(packed, nullptr);
    nvlist_t* copy = FreeBSD_nvlist_unpack(packed, size, 0);
    std::free(packed);
    ASSERT_NE(copy, nullptr);

    std::vector<int> types;
    EXPECT_EQ(names(copy, &types), (std::vector<std::string>{"memory", "paused", "name", "devices"}));
    EXPECT_EQ(types, (std::vector<int>{NV_TYPE_NUMBER, NV_TYPE_BOOL, NV_TYPE_STRING, NV_TYPE_NVLIST}));
    EXPECT_EQ(FreeBSD_nvlist_get_number(copy, "memory"), 1ULL << 33);
    EXPECT_TRUE(FreeBSD_nvlist_get_bool(copy, "paused"));
    EXPECT_STREQ(FreeBSD_nvlist_get_string(copy, "name"), "web01");
    const nvlist_t* devices = FreeBSD_nvlist_get_nvlist(copy, "devices");
    ASSERT_NE(devices, nullptr);
    EXPECT_STREQ(FreeBSD_nvlist_get_string(devices, "disk"), "/dev/zvol/vm0");
    EXPECT_FALSE(FreeBSD_nvlist_exists(devices, "late"));
    FreeBSD_nvlist_destroy(copy);
}

TEST(Nvlist, MissingOrMistypedEntriesGiveDefaultsNotAborts)
{
    List l;
    FreeBSD_nvlist_add_string(l.list, "class", "2");
    EXPECT_EQ(FreeBSD_nvlist_get_number(l.list, "class"), 0u);
    EXPECT_EQ(FreeBSD_nvlist_get_string(l.list, "nothing"), nullptr);
    EXPECT_EQ(FreeBSD_nvlist_get_nvlist(l.list, "class"), nullptr);
    EXPECT_FALSE(FreeBSD_nvlist_get_bool(nullptr, "class"));
    FreeBSD_nvlist_destroy(nullptr);
}

TEST(Nvlist, BadAdditionsMarkTheListAndStopPacking)
{
    for (int bad = 0; bad < 3; ++bad) {
        List l;
        FreeBSD_nvlist_add_string(l.list, "a", "1");
        if (bad == 0)
            FreeBSD_nvlist_add_number(l.list, "a", 2);  // duplicate name
        if (bad == 1)
            FreeBSD_nvlist_add_string(l.list, "b", nullptr);
        if (bad == 2)
            FreeBSD_nvlist_add_nvlist(l.list, "self", l.list);
        EXPECT_NE(FreeBSD_nvlist_error(l.list), 0) << bad;
        size_t size = 0;
        EXPECT_EQ(FreeBSD_nvlist_pack(l.list, &size), nullptr) << bad;
        EXPECT_EQ(names(l.list), std::vector<std::string>{"a"}) << bad;
    }
}

TEST(Nvlist, UnpackRefusesTruncatedGarbageAndOverDeepInput)
{
    List l;
    FreeBSD_nvlist_add_string(l.list, "name", "web01");
    FreeBSD_nvlist_add_number(l.list, "vcpus", 4);
    size_t size = 0;
    auto* packed = static_cast<unsigned char*>(FreeBSD_nvlist_pack(l.list, &size));
    ASSERT_NE(packed, nullptr);
    for (size_t cut = 0; cut < size; ++cut) {
        errno = 0;
        EXPECT_EQ(FreeBSD_nvlist_unpack(packed, cut, 0), nullptr) << cut;
        EXPECT_EQ(errno, EINVAL) << cut;
    }
    std::string longer(reinterpret_cast<char*>(packed), size);
    longer += '\0';
    EXPECT_EQ(FreeBSD_nvlist_unpack(longer.data(), longer.size(), 0), nullptr);
    packed[12] = 42;  // the first entry's type, after magic, flags and count
    EXPECT_EQ(FreeBSD_nvlist_unpack(packed, size, 0), nullptr);
    std::free(packed);

    // Nesting deeper than the unpacker recurses.
    std::vector<nvlist_t*> chain(40);
    for (auto& link : chain)
        link = FreeBSD_nvlist_create(0);
    for (size_t i = chain.size() - 1; i > 0; --i) {
        FreeBSD_nvlist_add_nvlist(chain[i - 1], "next", chain[i]);
        FreeBSD_nvlist_destroy(chain[i]);
    }
    void* deep = FreeBSD_nvlist_pack(chain[0], &size);
    ASSERT_NE(deep, nullptr);
    EXPECT_EQ(FreeBSD_nvlist_unpack(deep, size, 0), nullptr);
    std::free(deep);
    FreeBSD_nvlist_destroy(chain[0]);
}

}  // namespace
