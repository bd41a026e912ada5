// Driver file access below the file root, and paths that try to leave it.
#include <gtest/gtest.h>

#include <kstandin/testing_io.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform_support.h"
#include "temp_dir.h"
#include "verifier_listener.h"

namespace {

namespace fs = std::filesystem;

class File : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = base_ + "/root";
    fs::create_directories(root_ + "/C/data");
    std::ofstream out(root_ + "/C/data/defects.bin", std::ios::binary);
    for (int i = 0; i < 100; ++i) out.put((char)i);
    std::ofstream(base_ + "/secret.txt") << "outside";
    kstandin::set_file_root(root_);
  }
  void TearDown() override { kstandin::set_file_root(""); }

  NTSTATUS open(const wchar_t* path, HANDLE* handle, ACCESS_MASK access = GENERIC_READ) {
    pltest::ustring name(path);
    OBJECT_ATTRIBUTES attributes = pltest::attributes_of(&name.s);
    IO_STATUS_BLOCK iosb{};
    return ZwOpenFile(handle, access, &attributes, &iosb, FILE_SHARE_READ,
                      FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE);
  }

  tvtest::temp_dir dir_;
  const std::string base_ = dir_.path();
  std::string root_;
};

TEST_F(File, ReadsAtOffsetsAndFromThePosition) {
  HANDLE file = nullptr;
  ASSERT_EQ(open(L"\\DosDevices\\C:\\data\\defects.bin", &file), STATUS_SUCCESS);
  UCHAR buffer[16];
  IO_STATUS_BLOCK iosb{};
  auto read = [&](ULONG length, LONGLONG at) {  // at < 0: from the position
    LARGE_INTEGER offset;
    offset.QuadPart = at;
    return ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, buffer, length,
                      at < 0 ? nullptr : &offset, nullptr);
  };
  ASSERT_EQ(read(12, 0), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 12u);
  EXPECT_EQ(buffer[11], 11);
  // Without an offset the read continues where the last one ended.
  ASSERT_EQ(read(4, -1), STATUS_SUCCESS);
  EXPECT_EQ(buffer[0], 12);
  EXPECT_EQ(read(16, 90), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 10u);  // a short read at the end
  EXPECT_EQ(buffer[9], 99);
  EXPECT_EQ(read(16, 100), STATUS_END_OF_FILE);
  EXPECT_EQ(iosb.Information, 0u);
  EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);

  // The "\??" form and a lower-case drive letter name the same file.
  ASSERT_EQ(open(L"\\??\\c:\\data\\defects.bin", &file), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
}

TEST_F(File, PathsCannotLeaveTheRoot) {
  fs::create_symlink(base_ + "/secret.txt", root_ + "/C/data/link.txt");
  HANDLE file = nullptr;
  EXPECT_EQ(open(L"\\DosDevices\\C:\\..\\secret.txt", &file), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(open(L"\\??\\C:\\data\\..\\..\\..\\secret.txt", &file), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(open(L"\\??\\C:\\data/../../../secret.txt", &file), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(open(L"\\??\\C:\\data\\\\defects.bin", &file), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(open(L"\\??\\C:\\data\\link.txt", &file), STATUS_ACCESS_DENIED);
  EXPECT_EQ(open(L"\\Device\\HarddiskVolume1\\secret.txt", &file), STATUS_OBJECT_PATH_SYNTAX_BAD);
  EXPECT_EQ(open(L"\\??\\C:\\data\\missing.bin", &file), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(open(L"\\??\\C:\\nodir\\missing.bin", &file), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(open(L"\\??\\C:\\data", &file), STATUS_FILE_IS_A_DIRECTORY);
  // Files are read-only for the driver.
  EXPECT_EQ(open(L"\\??\\C:\\data\\defects.bin", &file, GENERIC_WRITE), STATUS_ACCESS_DENIED);
}

}  // namespace
