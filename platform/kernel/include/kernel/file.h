// Files: a read-only system root folder on disk behind ZwCreateFile, ZwReadFile and
// ZwQueryInformationFile, named "\SystemRoot\..." as the kernel names the Windows folder.
// Names match case-insensitively, as on the Windows file system. The calls are
// PASSIVE_LEVEL only (a higher IRQL is reported to the verifier).
#pragma once

#include <filesystem>
#include <source_location>

#include "kernel/io.h"
#include "kernel/ntdef.h"
#include "kernel/ob.h"

constexpr NTSTATUS STATUS_FILE_IS_A_DIRECTORY = static_cast<NTSTATUS>(0xC00000BAu);
constexpr NTSTATUS STATUS_NOT_A_DIRECTORY = static_cast<NTSTATUS>(0xC0000103u);

// File access rights.
constexpr ACCESS_MASK FILE_READ_DATA = 0x0001;
constexpr ACCESS_MASK FILE_WRITE_DATA = 0x0002;
constexpr ACCESS_MASK FILE_APPEND_DATA = 0x0004;
constexpr ACCESS_MASK FILE_READ_EA = 0x0008;
constexpr ACCESS_MASK FILE_WRITE_EA = 0x0010;
constexpr ACCESS_MASK FILE_EXECUTE = 0x0020;
constexpr ACCESS_MASK FILE_READ_ATTRIBUTES = 0x0080;
constexpr ACCESS_MASK FILE_WRITE_ATTRIBUTES = 0x0100;
constexpr ACCESS_MASK FILE_GENERIC_READ =
    STANDARD_RIGHTS_READ | FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA | SYNCHRONIZE;

// Share modes.
constexpr ULONG FILE_SHARE_READ = 0x00000001;
constexpr ULONG FILE_SHARE_WRITE = 0x00000002;
constexpr ULONG FILE_SHARE_DELETE = 0x00000004;

// Attributes.
constexpr ULONG FILE_ATTRIBUTE_READONLY = 0x00000001;
constexpr ULONG FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
constexpr ULONG FILE_ATTRIBUTE_NORMAL = 0x00000080;

// Create dispositions.
constexpr ULONG FILE_SUPERSEDE = 0x00000000;
constexpr ULONG FILE_OPEN = 0x00000001;
constexpr ULONG FILE_CREATE = 0x00000002;
constexpr ULONG FILE_OPEN_IF = 0x00000003;
constexpr ULONG FILE_OVERWRITE = 0x00000004;
constexpr ULONG FILE_OVERWRITE_IF = 0x00000005;

// Create options.
constexpr ULONG FILE_DIRECTORY_FILE = 0x00000001;
constexpr ULONG FILE_WRITE_THROUGH = 0x00000002;
constexpr ULONG FILE_SEQUENTIAL_ONLY = 0x00000004;
constexpr ULONG FILE_SYNCHRONOUS_IO_ALERT = 0x00000010;
constexpr ULONG FILE_SYNCHRONOUS_IO_NONALERT = 0x00000020;
constexpr ULONG FILE_NON_DIRECTORY_FILE = 0x00000040;

// IO_STATUS_BLOCK.Information of a successful create.
constexpr ULONG_PTR FILE_SUPERSEDED = 0;
constexpr ULONG_PTR FILE_OPENED = 1;

// ByteOffset of a read that continues at the file's current position.
constexpr ULONG FILE_USE_FILE_POINTER_POSITION = 0xFFFFFFFEu;

enum FILE_INFORMATION_CLASS : ULONG {
  FileBasicInformation = 4,
  FileStandardInformation = 5,
  FilePositionInformation = 14,
};

struct FILE_STANDARD_INFORMATION {
  LARGE_INTEGER AllocationSize;
  LARGE_INTEGER EndOfFile;
  ULONG NumberOfLinks;
  BOOLEAN DeletePending;
  BOOLEAN Directory;
};
using PFILE_STANDARD_INFORMATION = FILE_STANDARD_INFORMATION*;

struct FILE_POSITION_INFORMATION {
  LARGE_INTEGER CurrentByteOffset;
};
using PFILE_POSITION_INFORMATION = FILE_POSITION_INFORMATION*;

using PIO_APC_ROUTINE = VOID (*)(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG Reserved);

// Opens an existing file or folder below "\SystemRoot\" for reading (the simulated system
// root is read-only: write access or a disposition other than FILE_OPEN/FILE_OPEN_IF on an
// existing file gives STATUS_ACCESS_DENIED). A missing file gives
// STATUS_OBJECT_NAME_NOT_FOUND, a missing folder on the way STATUS_OBJECT_PATH_NOT_FOUND,
// "." or ".." components and characters a Windows name cannot hold
// STATUS_OBJECT_NAME_INVALID; any other name STATUS_OBJECT_PATH_NOT_FOUND.
NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                      ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                      ULONG EaLength,
    const std::source_location& caller = std::source_location::current());
// Synchronous read at ByteOffset (or the current position when it is null or
// FILE_USE_FILE_POINTER_POSITION, for files opened for synchronous I/O); moves the current
// position past the bytes read. At or past the end: STATUS_END_OF_FILE, no bytes.
NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                    PULONG Key,
    const std::source_location& caller = std::source_location::current());
// FileStandardInformation and FilePositionInformation; a buffer smaller than the
// structure gives STATUS_INFO_LENGTH_MISMATCH, another class STATUS_INVALID_INFO_CLASS.
NTSTATUS ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                ULONG Length, FILE_INFORMATION_CLASS FileInformationClass,
    const std::source_location& caller = std::source_location::current());

namespace platform::files {

// The folder "\SystemRoot\" stands for; empty (the default) means there is none and every
// open fails with STATUS_OBJECT_PATH_NOT_FOUND.
void SetSystemRoot(const std::filesystem::path& folder);
std::filesystem::path SystemRoot();

}  // namespace platform::files
