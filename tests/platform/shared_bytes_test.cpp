// Streams that share pieces of one block, and the blocks themselves.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/memory.h"
#include "platform/streams.h"

using namespace Vizu2000;

namespace {

TSharedBlock Block(std::string_view text) { return CopyToBlock(text); }

// The resident set of this process, in bytes.
size_t Resident() {
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

std::string_view Piece(const TSharedBlock& block, size_t at, size_t size) {
  return std::string_view(block->Data() + at, size);
}

}  // namespace

// Every change to a stream that shares a piece goes to its own copy: the
// block, and every other stream sharing it, keep their bytes.
TEST(SharedBytes, ChangesCopyThePieceAndLeaveTheBlockAlone) {
  TSharedBlock block = Block("header\r\n\r\nbody one\r\n--b\r\nbody two");
  TMemoryStream one, two;
  one.Share(block, Piece(block, 10, 8));
  two.Share(block, Piece(block, 25, 8));
  EXPECT_EQ(one.View(), "body one");
  EXPECT_EQ(one.Size(), 8);
  EXPECT_EQ(one.Position(), 0);

  // Reading and seeking stay on the piece, and share.
  one.Seek(5, soBeginning);
  EXPECT_EQ(one.ReadRest(), "one");
  EXPECT_EQ(one.Block(), block);

  // A write at the end, in the middle, and through Memory().
  one.WriteString("!");
  EXPECT_EQ(one.Block(), nullptr);
  EXPECT_EQ(one.View(), "body one!");
  two.SetPosition(0);
  two.WriteString("B");
  EXPECT_EQ(two.View(), "Body two");
  TMemoryStream three;
  three.Share(block, Piece(block, 0, 6));
  three.Memory()[0] = 'H';
  EXPECT_EQ(three.View(), "Header");
  EXPECT_EQ(std::string_view(block->Data(), block->Capacity()), "header\r\n\r\nbody one\r\n--b\r\nbody two");

  // Growing fills with zeros past the piece, never with the block's next
  // bytes; cutting shorter keeps sharing and cuts nobody else.
  TMemoryStream grown, cut, other;
  grown.Share(block, Piece(block, 10, 4));
  grown.SetSize(6);
  EXPECT_EQ(grown.View(), std::string("body\0\0", 6));
  cut.Share(block, Piece(block, 10, 8));
  other = cut;
  cut.SetPosition(8);
  cut.SetSize(4);
  EXPECT_EQ(cut.View(), "body");
  EXPECT_EQ(cut.Position(), 4);
  EXPECT_EQ(cut.Block(), block);
  EXPECT_EQ(other.View(), "body one");

  // Data(), Release(), Clear() and Assign() all give or drop the piece
  // whole.
  TMemoryStream data, released;
  data.Share(block, Piece(block, 19, 5));
  EXPECT_EQ(data.Data(), "\n--b\r");
  released.Share(block, Piece(block, 19, 5));
  EXPECT_EQ(released.Release(), "\n--b\r");
  EXPECT_EQ(released.Size(), 0);
  data.Clear();
  EXPECT_EQ(data.Size(), 0);
  EXPECT_EQ(data.Block(), nullptr);
  data.Share(block, Piece(block, 0, 6));
  data.Assign("own");
  EXPECT_EQ(data.View(), "own");
  EXPECT_EQ(data.Block(), nullptr);
}

// The block lives as long as any stream shares it, whatever happens to the
// stream it came from.
TEST(SharedBytes, PiecesOutliveTheirMakerAndMoveWhole) {
  TMemoryStream kept;
  {
    TMemoryStream maker;
    maker.Share(Block("a piece of text"), {});
    TSharedBlock block = maker.Block();
    maker.Share(block, Piece(block, 2, 5));
    kept = maker;
    TMemoryStream taken;
    taken.TakeOver(maker);
    EXPECT_EQ(taken.View(), "piece");
    EXPECT_EQ(taken.Block(), block);
    EXPECT_EQ(maker.Size(), 0);
    EXPECT_EQ(maker.Block(), nullptr);
  }
  EXPECT_EQ(kept.View(), "piece");
  TMemoryStream copy;
  EXPECT_EQ(copy.CopyFrom(kept, 0), 5);
  EXPECT_EQ(copy.View(), "piece");
  EXPECT_EQ(kept.Block().use_count(), 1);
}

// Large blocks are mapped aligned to huge pages and are writable to their
// last byte; a freed mapping serves the next block of about its size.
TEST(SharedBytes, LargeBlocksAreAlignedAndReusable) {
  constexpr size_t kSize = (5u << 20) + 123;
  const char* first = nullptr;
  for (int round = 0; round < 2; ++round) {
    TByteBlock block(kSize);
    ASSERT_EQ(block.Capacity(), kSize);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block.Data()) % (2u << 20), 0u);
    std::memset(block.Data(), 'x', kSize);
    block.Data()[kSize - 1] = 'y';
    EXPECT_EQ(block.Data()[kSize - 1], 'y');
    if (round == 0) first = block.Data();
    else EXPECT_EQ(block.Data(), first);
  }
  // An empty block and an adopted string.
  TByteBlock empty(0);
  EXPECT_EQ(empty.Capacity(), 0u);
  std::string text(100, 'z');
  const char* bytes = text.data();
  TByteBlock adopted(std::move(text));
  EXPECT_EQ(adopted.Data(), bytes);
  EXPECT_EQ(adopted.Capacity(), 100u);
}

// Freed large blocks stay resident for the next ones until the cache is
// trimmed; then the system has them back, and blocks still in use keep
// their bytes.
TEST(SharedBytes, TrimmingGivesFreedBlocksBackToTheSystem) {
  constexpr size_t kSize = 16u << 20;
  TrimMemoryCache();
  EXPECT_EQ(MemoryCacheBytes(), 0u);
  TByteBlock kept(6u << 20);
  std::memset(kept.Data(), 'k', kept.Capacity());
  {
    TByteBlock block(kSize);
    std::memset(block.Data(), 'x', kSize);
  }
  EXPECT_GE(MemoryCacheBytes(), kSize);
  const size_t before = Resident();
  TrimMemoryCache();
  EXPECT_EQ(MemoryCacheBytes(), 0u);
  EXPECT_GE(before - Resident(), kSize - (1u << 20));
  EXPECT_EQ(kept.Data()[0], 'k');
  EXPECT_EQ(kept.Data()[kept.Capacity() - 1], 'k');
  // Trimming an empty cache is harmless, and blocks are made anew after it.
  TrimMemoryCache();
  TByteBlock next(kSize);
  next.Data()[kSize - 1] = 'y';
  EXPECT_EQ(next.Data()[kSize - 1], 'y');
}
