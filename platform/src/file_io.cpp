// Files for the driver: read-only host files below the file root.
//
// A driver path "\DosDevices\C:\dir\file" (or "\??\C:\..." or
// "\GLOBAL??\C:\...") becomes <root>/C/dir/file. Every component is checked
// before the host sees it: empty, "." and ".." components and characters
// that Windows does not allow in names (including '/', the host separator)
// are refused, and the opened file's real path must still lie below the
// root, so neither a crafted name nor a symbolic link leads outside it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <mutex>

#include "io_internal.h"

namespace kstandin {
namespace {

struct file_root_state {
  std::mutex lock;
  std::string root;
};

file_root_state& root_state() {
  static auto* s = new file_root_state;
  return *s;
}

struct open_file {
  explicit open_file(int descriptor) : fd(descriptor) {}
  ~open_file() { close(fd); }
  open_file(const open_file&) = delete;
  open_file& operator=(const open_file&) = delete;

  int fd;
  std::mutex lock;     // guards position
  uint64_t position = 0;  // bytes from the start
};

bool starts_with_ci(const std::u16string& text, const std::u16string& prefix) {
  return text.size() >= prefix.size() && upcase(text.substr(0, prefix.size())) == upcase(prefix);
}

bool valid_component(const std::u16string& c) {
  if (c.empty() || c == u"." || c == u"..") return false;
  for (char16_t ch : c) {
    if (ch < 0x20) return false;
    switch (ch) {
      case u'<': case u'>': case u':': case u'"': case u'/': case u'|': case u'?': case u'*':
        return false;
      default:
        break;
    }
  }
  return true;
}

std::string real_path(const std::string& path) {
  char buf[PATH_MAX];
  if (realpath(path.c_str(), buf) == nullptr) return std::string();
  return buf;
}

// Maps a driver path to the host path below the root.
NTSTATUS host_path(const UNICODE_STRING* name, std::string* out, std::string* root_out) {
  if (name == nullptr || name->Length % 2 != 0 || name->Length > name->MaximumLength) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  std::u16string path = from_unicode_string(name);
  size_t skip = 0;
  for (const char16_t* prefix : {u"\\DosDevices\\", u"\\??\\", u"\\GLOBAL??\\"}) {
    if (starts_with_ci(path, prefix)) {
      skip = std::char_traits<char16_t>::length(prefix);
      break;
    }
  }
  if (skip == 0) return STATUS_OBJECT_PATH_SYNTAX_BAD;
  path = path.substr(skip);
  if (path.size() < 2 || path[1] != u':' || upcase(path[0]) < u'A' || upcase(path[0]) > u'Z') {
    return STATUS_OBJECT_PATH_SYNTAX_BAD;
  }
  std::string host(1, (char)upcase(path[0]));
  path = path.substr(2);
  if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
  path = path.substr(1);
  std::u16string component;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == u'\\') {
      if (!valid_component(component)) return STATUS_OBJECT_NAME_INVALID;
      host += "/" + utf8_from_utf16(component);
      component.clear();
    } else {
      component.push_back(path[i]);
    }
  }
  {
    auto& s = root_state();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.root.empty()) return STATUS_OBJECT_PATH_NOT_FOUND;
    *root_out = s.root;
  }
  *out = *root_out + "/" + host;
  return STATUS_SUCCESS;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

NTSTATUS open_read_only(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                        POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                        ULONG CreateDisposition, ULONG CreateOptions) {
  if (FileHandle == NULL || ObjectAttributes == NULL || IoStatusBlock == NULL) {
    return STATUS_INVALID_PARAMETER;
  }
  IoStatusBlock->Information = FILE_DOES_NOT_EXIST;
  auto fail = [IoStatusBlock](NTSTATUS status) {
    IoStatusBlock->Status = status;
    return status;
  };
  if (ObjectAttributes->RootDirectory != NULL) return fail(STATUS_OBJECT_PATH_SYNTAX_BAD);
  const ACCESS_MASK write_rights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                   FILE_WRITE_ATTRIBUTES | DELETE | GENERIC_WRITE | GENERIC_ALL;
  if ((DesiredAccess & write_rights) != 0 ||
      (CreateDisposition != FILE_OPEN && CreateDisposition != FILE_OPEN_IF)) {
    return fail(STATUS_ACCESS_DENIED);  // the files a driver sees are read-only
  }
  if (CreateOptions & FILE_DIRECTORY_FILE) return fail(STATUS_NOT_SUPPORTED);

  std::string path;
  std::string root;
  const NTSTATUS status = host_path(ObjectAttributes->ObjectName, &path, &root);
  if (!NT_SUCCESS(status)) return fail(status);

  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (is_directory(path)) return fail(STATUS_FILE_IS_A_DIRECTORY);
    const std::string parent = path.substr(0, path.rfind('/'));
    return fail(is_directory(parent) ? STATUS_OBJECT_NAME_NOT_FOUND
                                     : STATUS_OBJECT_PATH_NOT_FOUND);
  }
  auto file = std::make_shared<open_file>(fd);
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) return fail(STATUS_FILE_IS_A_DIRECTORY);
  const std::string real_root = real_path(root);
  const std::string real_file = real_path(path);
  if (real_root.empty() || real_file.compare(0, real_root.size() + 1, real_root + "/") != 0) {
    return fail(STATUS_ACCESS_DENIED);  // a link that leads out of the root
  }
  handle_entry entry;
  entry.kind = handle_kind::file;
  entry.access = DesiredAccess;
  entry.object = std::static_pointer_cast<void>(file);
  *FileHandle = insert_handle(entry);
  IoStatusBlock->Status = STATUS_SUCCESS;
  IoStatusBlock->Information = FILE_OPENED;
  return STATUS_SUCCESS;
}

NTSTATUS file_from_handle(HANDLE handle, std::shared_ptr<open_file>* file) {
  handle_entry entry;
  if (!lookup_handle(handle, &entry)) return STATUS_INVALID_HANDLE;
  if (entry.kind != handle_kind::file) return STATUS_OBJECT_TYPE_MISMATCH;
  *file = std::static_pointer_cast<open_file>(entry.object);
  return STATUS_SUCCESS;
}

}  // namespace

void set_file_root(const std::string& host_directory) {
  auto& s = root_state();
  std::lock_guard<std::mutex> guard(s.lock);
  s.root = host_directory;
  while (s.root.size() > 1 && s.root.back() == '/') s.root.pop_back();
}

}  // namespace kstandin

using namespace kstandin;

NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                            POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                            PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                            ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions,
                            PVOID EaBuffer, ULONG EaLength) {
  check_zw_irql("ZwCreateFile");
  return open_read_only(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock,
                        CreateDisposition, CreateOptions);
}

NTSTATUS NTAPI ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                          POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                          ULONG ShareAccess, ULONG OpenOptions) {
  check_zw_irql("ZwOpenFile");
  return open_read_only(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, FILE_OPEN,
                        OpenOptions);
}

NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                          PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                          ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key) {
  check_zw_irql("ZwReadFile");
  if (IoStatusBlock == NULL || (Buffer == NULL && Length != 0) || Event != NULL ||
      ApcRoutine != NULL) {
    return STATUS_INVALID_PARAMETER;
  }
  std::shared_ptr<open_file> file;
  NTSTATUS status = file_from_handle(FileHandle, &file);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard<std::mutex> guard(file->lock);
  uint64_t offset = file->position;
  if (ByteOffset != NULL &&
      !(ByteOffset->HighPart == -1 && ByteOffset->LowPart == FILE_USE_FILE_POINTER_POSITION)) {
    if (ByteOffset->QuadPart < 0) return STATUS_INVALID_PARAMETER;
    offset = (uint64_t)ByteOffset->QuadPart;
  }
  size_t done = 0;
  while (done < Length) {
    const ssize_t n = pread(file->fd, (char*)Buffer + done, Length - done, (off_t)(offset + done));
    if (n < 0) {
      IoStatusBlock->Status = STATUS_UNSUCCESSFUL;
      IoStatusBlock->Information = 0;
      return STATUS_UNSUCCESSFUL;
    }
    if (n == 0) break;
    done += (size_t)n;
  }
  if (done == 0 && Length != 0) {
    status = STATUS_END_OF_FILE;
  } else {
    status = STATUS_SUCCESS;
  }
  file->position = offset + done;
  IoStatusBlock->Status = status;
  IoStatusBlock->Information = done;
  return status;
}

NTSTATUS NTAPI ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                      PVOID FileInformation, ULONG Length,
                                      FILE_INFORMATION_CLASS FileInformationClass) {
  check_zw_irql("ZwQueryInformationFile");
  if (IoStatusBlock == NULL || FileInformation == NULL) return STATUS_INVALID_PARAMETER;
  std::shared_ptr<open_file> file;
  const NTSTATUS status = file_from_handle(FileHandle, &file);
  if (!NT_SUCCESS(status)) return status;
  if (FileInformationClass == FileStandardInformation) {
    if (Length < sizeof(FILE_STANDARD_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    struct stat st;
    if (fstat(file->fd, &st) != 0) return STATUS_UNSUCCESSFUL;
    FILE_STANDARD_INFORMATION info{};
    info.EndOfFile.QuadPart = st.st_size;
    info.AllocationSize.QuadPart = (st.st_size + 4095) & ~(LONGLONG)4095;
    info.NumberOfLinks = 1;
    memcpy(FileInformation, &info, sizeof info);
    IoStatusBlock->Information = sizeof info;
  } else if (FileInformationClass == FilePositionInformation) {
    if (Length < sizeof(FILE_POSITION_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    FILE_POSITION_INFORMATION info{};
    {
      std::lock_guard<std::mutex> guard(file->lock);
      info.CurrentByteOffset.QuadPart = (LONGLONG)file->position;
    }
    memcpy(FileInformation, &info, sizeof info);
    IoStatusBlock->Information = sizeof info;
  } else {
    return STATUS_INVALID_INFO_CLASS;
  }
  IoStatusBlock->Status = STATUS_SUCCESS;
  return STATUS_SUCCESS;
}
