// strcmd_test.cpp: the prefix writer and the command constructors.
#include "strcmd/strcmd.hpp"

#include <gtest/gtest.h>

namespace kovel {
namespace {

StrCmd NLs{CmdKind::NL, ""};
StrCmd POPs{CmdKind::POP, ""};

std::string run(const std::vector<StrCmd>& cmds) {
  ByteBuffer out;
  PrefixWriter w(out);
  for (const StrCmd& c : cmds) w.interpret(c);
  return std::string(out.view());
}

struct WriterCase {
  std::vector<StrCmd> cmds;
  std::string out;
};

void PrintTo(const WriterCase& c, std::ostream* os) { *os << '"' << c.out << '"'; }

class PrefixWriterTest : public ::testing::TestWithParam<WriterCase> {};

TEST_P(PrefixWriterTest, Output) { EXPECT_EQ(run(GetParam().cmds), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, PrefixWriterTest,
    ::testing::Values(
        WriterCase{{write("def f():"), push("    "), NLs, write("return 1"), POPs, NLs},
                   "def f():\n    return 1\n"},
        WriterCase{{push("  "), push("# "), NLs, write("x"), POPs, NLs, write("y")},
                   "\n  # x\n  y"},
        WriterCase{{write("a"), push("> "), write("b"), NLs, write("c")}, "ab\n> c"},
        WriterCase{{push("  "), write("a\nb"), NLs, write("c")}, "a\nb\n  c"},
        WriterCase{{push("  "), NLs, NLs, write("x")}, "\n  \n  x"},
        WriterCase{{POPs, write("x"), NLs}, "x\n"}, WriterCase{{push("  "), write("x")}, "x"},
        WriterCase{{}, ""},
        // An empty prefix is an entry: the POP removes it, not the one below.
        WriterCase{{push("a"), push(""), POPs, NLs}, "\na"},
        // A POP on an empty stack is not remembered.
        WriterCase{{push("a"), POPs, POPs, push("b"), NLs}, "\nb"},
        WriterCase{{POPs, push("b"), NLs, write("c")}, "\nbc"},
        WriterCase{{write("a\n"), write("x")}, "a\nx"},
        // A newline written as text takes no prefix.
        WriterCase{{push("  "), write("x\n"), write("x")}, "x\nx"},
        // Prefix texts keep their own newlines; nothing is inserted after them.
        WriterCase{{push("|\n|"), NLs, write("x"), NLs}, "\n|\n|x\n|\n|"},
        WriterCase{{push("a\n"), push("b"), NLs, write("c")}, "\na\nbc"},
        WriterCase{{push("a"), push("b"), POPs, push("c"), NLs}, "\nac"},
        WriterCase{{write(std::string("\0x", 2)), write("")}, std::string("\0x", 2)}));

TEST(StrCmdConstructors, CopyTheirText) {
  std::string s = "abc";
  StrCmd w = write(s);
  StrCmd p = push(s);
  s[0] = 'z';
  EXPECT_EQ(w, (StrCmd{CmdKind::Write, "abc"}));
  EXPECT_EQ(p, (StrCmd{CmdKind::Push, "abc"}));
  EXPECT_EQ(write(""), (StrCmd{CmdKind::Write, ""}));
}

TEST(PrefixWriter, AppendsToCallersBuffer) {
  ByteBuffer out;
  out.append("kept:");
  {
    PrefixWriter w(out);
    w.interpret(push("  "));
    w.interpret(write("a"));
    w.interpret(NLs);
  }
  EXPECT_EQ(out.view(), "kept:a\n  ");
  // Growth keeps every byte written before it, however it happens.
  std::string expect(out.view());
  for (int i = 0; i < 20000; ++i) {
    std::string piece(static_cast<size_t>(i % 97), static_cast<char>('a' + i % 26));
    out.append(piece);
    out.push_back('|');
    expect += piece;
    expect += '|';
  }
  EXPECT_EQ(out.view(), expect);
}

// A growth must make room for what is already there plus the whole write, however the two
// compare with the capacity it doubles: a short write, then a long one, is the case to get right.
TEST(ByteBuffer, GrowthHoldsTheSizeAndTheWrite) {
  for (size_t first : {1, 5, 16, 17, 255, 256, 300}) {
    for (size_t second : {1, 16, 17, 240, 256, 511, 512, 513, 600, 4096, 100000}) {
      ByteBuffer out;
      std::string expect;
      auto check = [&] {
        ASSERT_GE(out.capacity(), out.size()) << first << " then " << second;
        ASSERT_EQ(out.view(), expect) << first << " then " << second;
      };
      for (size_t n : {first, second, first}) {
        std::string piece(n, static_cast<char>('a' + expect.size() % 26));
        out.append(piece);
        expect += piece;
        check();
      }
      while (out.size() < out.capacity()) {
        out.push_back('|');
        expect += '|';
      }
      out.push_back('!');  // from a full block
      expect += '!';
      check();
    }
  }
}

}  // namespace
}  // namespace kovel
