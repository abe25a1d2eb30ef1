// The simulated system root: read-only files on disk behind file handles.
#include "kernel/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <span>
#include <new>
#include <string>
#include <vector>

#include "registry_model.h"
#include "text.h"

namespace {

using platform::registry::detail::EqualsNoCase;

std::mutex& RootMutex() {
  static std::mutex mutex;
  return mutex;
}
std::filesystem::path& RootFolder() {
  static std::filesystem::path folder;
  return folder;
}

struct FileBody {
  int fd = -1;
  bool directory = false;
  bool synchronous = false;
  std::mutex mutex;  // guards position
  ULONG64 position = 0;
};

POBJECT_TYPE FileType() {
  static POBJECT_TYPE type = platform::ob::CreateObjectType(
      "File", GENERIC_MAPPING{FILE_GENERIC_READ, STANDARD_RIGHTS_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA |
                                                     FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | SYNCHRONIZE,
                              STANDARD_RIGHTS_EXECUTE | FILE_READ_ATTRIBUTES | FILE_EXECUTE | SYNCHRONIZE,
                              FILE_ALL_ACCESS});
  return type;
}

bool ValidComponent(std::u16string_view name) {
  if (name.empty() || name == u"." || name == u"..") return false;
  for (char16_t c : name)
    if (c < 0x20 || c == u'/' || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' ||
        c == u'*')
      return false;
  return true;
}

// Finds an entry of a folder by name, exactly first, then ignoring case.
bool FindEntry(const std::filesystem::path& folder, std::u16string_view name, std::filesystem::path& found) {
  std::error_code ec;
  const std::filesystem::path exact = folder / platform::text::ToUtf8(std::u16string(name));
  if (std::filesystem::exists(exact, ec)) {
    found = exact;
    return true;
  }
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string entry = it->path().filename().string();
    std::u16string wide;
    size_t bad = 0;
    if (!platform::registry::detail::DecodeUtf8(
            std::span(reinterpret_cast<const UCHAR*>(entry.data()), entry.size()), wide, bad))
      continue;  // a name Windows could not show
    if (EqualsNoCase(wide, name)) {
      found = it->path();
      return true;
    }
  }
  return false;
}

// A file handle's object, referenced for one call; Finish records the result in the
// caller's I/O status block and drops the reference.
class FileCall {
 public:
  explicit FileCall(HANDLE handle) {
    status_ = ObReferenceObjectByHandle(handle, 0, FileType(), KernelMode, &object_, nullptr);
  }
  ~FileCall() {
    if (object_) ObDereferenceObject(object_);
  }
  FileCall(const FileCall&) = delete;
  FileCall& operator=(const FileCall&) = delete;
  NTSTATUS status() const { return status_; }
  FileBody* file() const { return static_cast<FileBody*>(object_); }
  static NTSTATUS Finish(PIO_STATUS_BLOCK io, NTSTATUS status, ULONG_PTR information) {
    if (io) {
      io->Status = status;
      io->Information = information;
    }
    return status;
  }

 private:
  NTSTATUS status_;
  PVOID object_ = nullptr;
};

}  // namespace

namespace platform::files {

void SetSystemRoot(const std::filesystem::path& folder) {
  std::lock_guard lock(RootMutex());
  RootFolder() = folder;
}

std::filesystem::path SystemRoot() {
  std::lock_guard lock(RootMutex());
  return RootFolder();
}

}  // namespace platform::files

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                      ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                      ULONG EaLength,
    const std::source_location& caller) {
  platform::registry::detail::CheckPassive("ZwCreateFile", caller);
  UNREFERENCED_PARAMETER(AllocationSize);
  UNREFERENCED_PARAMETER(FileAttributes);
  UNREFERENCED_PARAMETER(ShareAccess);
  UNREFERENCED_PARAMETER(EaBuffer);
  UNREFERENCED_PARAMETER(EaLength);
  if (!FileHandle || !IoStatusBlock || !ObjectAttributes || ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES) ||
      ObjectAttributes->RootDirectory)
    return STATUS_INVALID_PARAMETER;
  const PUNICODE_STRING name = ObjectAttributes->ObjectName;
  if (!name || name->Length % 2 || name->Length > name->MaximumLength || (name->Length && !name->Buffer))
    return STATUS_OBJECT_NAME_INVALID;
  if (CreateDisposition > FILE_OVERWRITE_IF) return STATUS_INVALID_PARAMETER;
  if ((CreateOptions & FILE_DIRECTORY_FILE) && (CreateOptions & FILE_NON_DIRECTORY_FILE))
    return STATUS_INVALID_PARAMETER;

  std::u16string_view path(name->Buffer ? name->Buffer : u"", name->Length / sizeof(WCHAR));
  constexpr std::u16string_view kPrefix = u"\\SystemRoot\\";
  if (path.size() < kPrefix.size() || !EqualsNoCase(path.substr(0, kPrefix.size()), kPrefix))
    return STATUS_OBJECT_PATH_NOT_FOUND;
  path.remove_prefix(kPrefix.size());
  std::vector<std::u16string_view> parts;
  for (size_t start = 0;;) {
    const size_t end = path.find(u'\\', start);
    parts.push_back(path.substr(start, end == std::u16string_view::npos ? end : end - start));
    if (end == std::u16string_view::npos) break;
    start = end + 1;
  }
  for (auto part : parts)
    if (!ValidComponent(part)) return STATUS_OBJECT_NAME_INVALID;

  std::filesystem::path file = platform::files::SystemRoot();
  if (file.empty()) return STATUS_OBJECT_PATH_NOT_FOUND;
  for (size_t i = 0; i < parts.size(); ++i) {
    std::filesystem::path next;
    if (!FindEntry(file, parts[i], next))
      return i + 1 == parts.size() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
    file = next;
    std::error_code ec;
    if (i + 1 < parts.size() && !std::filesystem::is_directory(file, ec)) return STATUS_OBJECT_PATH_NOT_FOUND;
  }

  // The system root is read-only.
  const ACCESS_MASK writeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                  DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
  if ((DesiredAccess & writeRights) || (CreateDisposition != FILE_OPEN && CreateDisposition != FILE_OPEN_IF))
    return STATUS_ACCESS_DENIED;

  std::error_code ec;
  const bool directory = std::filesystem::is_directory(file, ec);
  if (directory && (CreateOptions & FILE_NON_DIRECTORY_FILE)) return STATUS_FILE_IS_A_DIRECTORY;
  if (!directory && (CreateOptions & FILE_DIRECTORY_FILE)) return STATUS_NOT_A_DIRECTORY;
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == EACCES ? STATUS_ACCESS_DENIED : STATUS_OBJECT_NAME_NOT_FOUND;

  platform::ob::CreateParams params;
  params.type = FileType();
  params.bodySize = sizeof(FileBody);
  params.initialize = [&](PVOID body) {
    auto* f = new (body) FileBody;
    f->fd = fd;
    f->directory = directory;
    f->synchronous = CreateOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT);
  };
  params.destroy = [](PVOID body) {
    auto* f = static_cast<FileBody*>(body);
    ::close(f->fd);
    f->~FileBody();
  };
  PVOID body = nullptr;
  NTSTATUS status = platform::ob::CreateObject(params, &body);
  if (!NT_SUCCESS(status)) {
    ::close(fd);
    return status;
  }
  status = ObOpenObjectByPointer(body, ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE, nullptr, DesiredAccess,
                                 FileType(), KernelMode, FileHandle);
  ObDereferenceObject(body);
  if (!NT_SUCCESS(status)) return status;
  IoStatusBlock->Status = STATUS_SUCCESS;
  IoStatusBlock->Information = FILE_OPENED;
  return STATUS_SUCCESS;
}

NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                    PULONG Key,
    const std::source_location& caller) {
  platform::registry::detail::CheckPassive("ZwReadFile", caller);
  UNREFERENCED_PARAMETER(Event);
  UNREFERENCED_PARAMETER(ApcRoutine);
  UNREFERENCED_PARAMETER(ApcContext);
  UNREFERENCED_PARAMETER(Key);
  FileCall call(FileHandle);
  if (!NT_SUCCESS(call.status())) return call.status();
  FileBody* file = call.file();
  auto finish = [&](NTSTATUS s, ULONG_PTR information) { return FileCall::Finish(IoStatusBlock, s, information); };
  if (!IoStatusBlock || (Length && !Buffer)) return finish(STATUS_INVALID_PARAMETER, 0);
  if (file->directory) return finish(STATUS_INVALID_DEVICE_REQUEST, 0);

  std::lock_guard lock(file->mutex);
  const bool useCurrent = !ByteOffset || (ByteOffset->u.LowPart == FILE_USE_FILE_POINTER_POSITION &&
                                          ByteOffset->u.HighPart == -1);
  if (useCurrent && !file->synchronous) return finish(STATUS_INVALID_PARAMETER, 0);
  if (!useCurrent && ByteOffset->QuadPart < 0) return finish(STATUS_INVALID_PARAMETER, 0);
  const ULONG64 offset = useCurrent ? file->position : static_cast<ULONG64>(ByteOffset->QuadPart);
  struct stat st;
  if (::fstat(file->fd, &st) != 0) return finish(STATUS_UNSUCCESSFUL, 0);
  if (offset >= static_cast<ULONG64>(st.st_size)) return finish(Length ? STATUS_END_OF_FILE : STATUS_SUCCESS, 0);
  ULONG done = 0;
  while (done < Length) {
    const ssize_t n = ::pread(file->fd, static_cast<char*>(Buffer) + done, Length - done,
                              static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return finish(STATUS_UNSUCCESSFUL, 0);
    if (n == 0) break;
    done += static_cast<ULONG>(n);
  }
  file->position = offset + done;
  return finish(STATUS_SUCCESS, done);
}

NTSTATUS ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                ULONG Length, FILE_INFORMATION_CLASS FileInformationClass,
    const std::source_location& caller) {
  platform::registry::detail::CheckPassive("ZwQueryInformationFile", caller);
  FileCall call(FileHandle);
  if (!NT_SUCCESS(call.status())) return call.status();
  FileBody* file = call.file();
  auto finish = [&](NTSTATUS s, ULONG_PTR information) { return FileCall::Finish(IoStatusBlock, s, information); };
  if (!IoStatusBlock || (Length && !FileInformation)) return finish(STATUS_INVALID_PARAMETER, 0);
  switch (FileInformationClass) {
    case FileStandardInformation: {
      if (Length < sizeof(FILE_STANDARD_INFORMATION)) return finish(STATUS_INFO_LENGTH_MISMATCH, 0);
      struct stat st;
      if (::fstat(file->fd, &st) != 0) return finish(STATUS_UNSUCCESSFUL, 0);
      FILE_STANDARD_INFORMATION info{};
      info.EndOfFile.QuadPart = file->directory ? 0 : st.st_size;
      info.AllocationSize.QuadPart = (info.EndOfFile.QuadPart + 4095) & ~LONGLONG{4095};
      info.NumberOfLinks = static_cast<ULONG>(st.st_nlink);
      info.Directory = file->directory;
      std::memcpy(FileInformation, &info, sizeof info);
      return finish(STATUS_SUCCESS, sizeof info);
    }
    case FilePositionInformation: {
      if (Length < sizeof(FILE_POSITION_INFORMATION)) return finish(STATUS_INFO_LENGTH_MISMATCH, 0);
      FILE_POSITION_INFORMATION info{};
      {
        std::lock_guard lock(file->mutex);
        info.CurrentByteOffset.QuadPart = static_cast<LONGLONG>(file->position);
      }
      std::memcpy(FileInformation, &info, sizeof info);
      return finish(STATUS_SUCCESS, sizeof info);
    }
    default:
      return finish(STATUS_INVALID_INFO_CLASS, 0);
  }
}
