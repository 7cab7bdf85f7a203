// Names and tokens are overwritten with zeros before their memory is freed.
#include <cstring>

#include <gtest/gtest.h>

#include "list.h"
#include "text.h"
#include "wipe.h"

using namespace authrelay;
using authrelay_test::WatchBlock;
using authrelay_test::WatchedBlockFreed;

namespace {

// Runs change on a block watched beforehand and reports whether it was freed wiped.
template <typename Change> bool FreedWiped(const void *block, size_t bytes, Change change)
{
    WatchBlock(block, bytes);
    change();
    bool zeroed = false;
    EXPECT_TRUE(WatchedBlockFreed(&zeroed)) << "the block was not freed";
    return zeroed;
}

TEST(AuthrelayWipe, StringBuffersAreZeroedWhenChangedClearedOrDestroyed)
{
    String s(u"secret-name");
    EXPECT_TRUE(FreedWiped(s.GetWide(), s.GetByteLength() + 2, [&] { s.Set(u"other"); }));
    EXPECT_TRUE(FreedWiped(s.GetUtf8(), s.GetUtf8Length() + 1, [&] { s.SetUtf8("again", 5); }));
    EXPECT_TRUE(FreedWiped(s.GetWide(), s.GetByteLength(), [&] { s.Clear(); }));
    auto *heap = new String(u"principal@REALM");
    EXPECT_TRUE(FreedWiped(heap->GetUtf8(), heap->GetUtf8Length(), [&] { delete heap; }));
    String adopted;
    std::unique_ptr<char16_t[]> buffer(new char16_t[3]{u'p', u'w', 0});
    adopted.Adopt(std::move(buffer));
    EXPECT_TRUE(FreedWiped(adopted.GetWide(), 4, [&] { adopted.Set(u"x"); }));
}

TEST(AuthrelayWipe, BlobBytesAreZeroedWhenReplacedOrDestroyed)
{
    Blob b;
    b.Set(6, "token!");
    EXPECT_TRUE(FreedWiped(b.Data(), 6, [&] { b.Set(3, "new"); }));
    auto *heap = new Blob;
    heap->Set(5, "bytes");
    EXPECT_TRUE(FreedWiped(heap->Data(), 5, [&] { delete heap; }));
}

TEST(AuthrelayWipe, ListEntryKeyIsZeroedWhenTheEntryIsDestroyed)
{
    ListImpl list;
    ListEntry *e = list.AddEntry("client-identifier", 17, nullptr, nullptr);
    uint32_t length = 0;
    const uint8_t *key = e->GetKey(&length);
    ASSERT_EQ(length, 17u);
    EXPECT_TRUE(FreedWiped(key, length, [&] { e->Release(true); }));
}

} // namespace
