// source_test.cpp: the core stays free of the interpreter's headers.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

TEST(Source, CoreIncludesNoPythonHeader) {
  namespace fs = std::filesystem;
  size_t files = 0;
  for (const auto& e : fs::recursive_directory_iterator(fs::path(KOVEL_SOURCE_DIR) / "src")) {
    if (!e.is_regular_file()) continue;
    std::ifstream in(e.path());
    std::stringstream s;
    s << in.rdbuf();
    ++files;
    EXPECT_EQ(s.str().find("Python.h"), std::string::npos) << e.path();
    EXPECT_EQ(s.str().find("PyObject"), std::string::npos) << e.path();
  }
  EXPECT_GT(files, 10u);
}

}  // namespace
