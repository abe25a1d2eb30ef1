// The simulated system root behind ZwCreateFile, ZwReadFile and ZwQueryInformationFile.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "kernel/file.h"
#include "support/kernel_fixture.h"

namespace {

class SystemRootFiles : public platform::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    dir_ = std::filesystem::temp_directory_path() / ("ua_sysroot_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_ / "Inf");
    std::ofstream(dir_ / "AubricPro.ini", std::ios::binary) << "0123456789";
    std::ofstream(dir_ / "Inf" / "x.inf", std::ios::binary) << "abc";
    platform::files::SetSystemRoot(dir_);
    handles_ = platform::ob::OpenHandleCount();
  }
  void TearDown() override {
    EXPECT_EQ(platform::ob::OpenHandleCount(), handles_);
    platform::files::SetSystemRoot({});
    std::filesystem::remove_all(dir_);
    KernelTest::TearDown();
  }

  NTSTATUS Open(const std::u16string& path, HANDLE* h, ACCESS_MASK access = GENERIC_READ,
                ULONG disposition = FILE_OPEN, ULONG options = FILE_SYNCHRONOUS_IO_NONALERT) {
    UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                        const_cast<PWSTR>(path.data())};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK io{};
    return ZwCreateFile(h, access, &oa, &io, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, disposition, options,
                        nullptr, 0);
  }

  std::filesystem::path dir_;
  size_t handles_ = 0;
};

TEST_F(SystemRootFiles, ReadsByOffsetAndCurrentPosition) {
  HANDLE h = nullptr;
  ASSERT_EQ(Open(u"\\SystemRoot\\AUBRICPRO.INI", &h), STATUS_SUCCESS) << "names ignore case";
  IO_STATUS_BLOCK io{};
  char buf[8] = {};
  LARGE_INTEGER at;
  at.QuadPart = 3;
  ASSERT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &io, buf, 2, &at, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(io.Information, 2u);
  EXPECT_EQ(std::string(buf, 2), "34");
  // Continue at the current position.
  ASSERT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &io, buf, 8, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(io.Information, 5u);
  EXPECT_EQ(std::string(buf, 5), "56789");
  EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &io, buf, 1, nullptr, nullptr), STATUS_END_OF_FILE);
  EXPECT_EQ(io.Information, 0u);
  at.QuadPart = 10;
  EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &io, buf, 1, &at, nullptr), STATUS_END_OF_FILE);
  at.QuadPart = -5;
  EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &io, buf, 1, &at, nullptr), STATUS_INVALID_PARAMETER);

  FILE_STANDARD_INFORMATION info{};
  ASSERT_EQ(ZwQueryInformationFile(h, &io, &info, sizeof info, FileStandardInformation), STATUS_SUCCESS);
  EXPECT_EQ(info.EndOfFile.QuadPart, 10);
  EXPECT_FALSE(info.Directory);
  EXPECT_EQ(io.Information, sizeof info);
  EXPECT_EQ(ZwQueryInformationFile(h, &io, &info, sizeof info - 1, FileStandardInformation),
            STATUS_INFO_LENGTH_MISMATCH);
  EXPECT_EQ(ZwQueryInformationFile(h, &io, &info, sizeof info, FileBasicInformation), STATUS_INVALID_INFO_CLASS);
  FILE_POSITION_INFORMATION pos{};
  ASSERT_EQ(ZwQueryInformationFile(h, &io, &pos, sizeof pos, FilePositionInformation), STATUS_SUCCESS);
  EXPECT_EQ(pos.CurrentByteOffset.QuadPart, 10);
  EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);

  ASSERT_EQ(Open(u"\\systemroot\\inf\\X.INF", &h), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

TEST_F(SystemRootFiles, RefusesWhatTheSystemRootCannotGive) {
  HANDLE h = nullptr;
  EXPECT_EQ(Open(u"\\SystemRoot\\missing.ini", &h), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Open(u"\\SystemRoot\\NoDir\\x.ini", &h), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(Open(u"\\SystemRoot\\AubricPro.ini\\x", &h), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(Open(u"\\SystemRoot\\..\\etc\\passwd", &h), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Open(u"\\SystemRoot\\Inf\\.", &h), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Open(u"\\SystemRoot\\a/b", &h), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Open(u"\\SystemRoot\\", &h), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Open(u"\\SystemRoot\\x:y", &h), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Open(u"\\??\\C:\\Windows\\x.ini", &h), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(Open(u"\\SystemRoot\\AubricPro.ini", &h, GENERIC_WRITE), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Open(u"\\SystemRoot\\AubricPro.ini", &h, GENERIC_READ, FILE_OVERWRITE_IF), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Open(u"\\SystemRoot\\Inf", &h, GENERIC_READ, FILE_OPEN,
                 FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT),
            STATUS_FILE_IS_A_DIRECTORY);

  // A file opened without synchronous I/O needs an explicit offset.
  ASSERT_EQ(Open(u"\\SystemRoot\\AubricPro.ini", &h, GENERIC_READ, FILE_OPEN, 0), STATUS_SUCCESS);
  IO_STATUS_BLOCK io{};
  char c;
  EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &io, &c, 1, nullptr, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);

  platform::files::SetSystemRoot({});
  EXPECT_EQ(Open(u"\\SystemRoot\\AubricPro.ini", &h), STATUS_OBJECT_PATH_NOT_FOUND);
}

}  // namespace
