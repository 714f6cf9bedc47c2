// The platform seam on Windows: names are UTF-8 inside the programs and UTF-16 at the system;
// identity by volume serial number and file index; the input shared for reading only.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform.h"

namespace {

std::wstring wideName(const char* name) {
  const int size = MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0);
  std::wstring wide(size_t(size > 0 ? size : 1), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, name, -1, wide.data(), size);
  wide.pop_back();  // the terminating NUL
  return wide;
}

std::string utf8Name(const wchar_t* wide) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  std::string name(size_t(size > 0 ? size : 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, name.data(), size, nullptr, nullptr);
  name.pop_back();
  return name;
}

HANDLE handleOf(int fd) {
  return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

bool isFolder(const std::wstring& name) {
  const DWORD attributes = GetFileAttributesW(name.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// What an open file is, by what the run can do with it.
enum class FileKind {
  REGULAR,     // a file on a disk
  DEVICE,      // a device that seeks, such as NUL
  UNSEEKABLE,  // a pipe, or a device without positions such as the console or a serial port
};

FileKind kindOf(HANDLE handle) {
  const DWORD type = GetFileType(handle);
  if (type == FILE_TYPE_DISK) {
    return FileKind::REGULAR;
  }
  const LARGE_INTEGER start = {};
  if (type == FILE_TYPE_CHAR && SetFilePointerEx(handle, start, nullptr, FILE_BEGIN)) {
    return FileKind::DEVICE;
  }
  return FileKind::UNSEEKABLE;
}

// Only files on a disk have an identity; a device such as NUL may serve a standard stream and
// the output alike.
FileIdentity identityOfHandle(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(handle, &info)) {
    return {};
  }
  return {info.dwVolumeSerialNumber,
          uint64_t(info.nFileIndexHigh) << 32 | uint64_t(info.nFileIndexLow), true};
}

bool isGuarded(const FileIdentity& identity, FILE* const* guarded, int guardedCount) {
  for (int i = 0; i < guardedCount; ++i) {
    if (identityOf(guarded[i]) == identity) {
      return true;
    }
  }
  return false;
}

// Why an open file of this kind cannot be written as target, or 0 when it can.
int refusal(FileKind kind, const FileIdentity& identity, WriteTarget target, FILE* const* guarded,
            int guardedCount) {
  if (isGuarded(identity, guarded, guardedCount)) {
    return EACCES;
  }
  if (kind == FileKind::REGULAR) {
    return 0;
  }
  if (target == WriteTarget::REGULAR_FILE) {
    return EACCES;
  }
  // A device must seek back for the length patches; it is written in place, never truncated.
  return kind == FileKind::UNSEEKABLE ? ESPIPE : 0;
}

// Closes fd without losing the errno that explains why.
void closeKeepingError(int fd) {
  const int error = errno;
  _close(fd);
  errno = error;
}

UINT consoleCodePageBefore = 0;

void restoreConsoleCodePage() { SetConsoleOutputCP(consoleCodePageBefore); }

}  // namespace

const char* const* startProgram(int& argc, char* argv[]) {
  // Names travel as UTF-8 bytes through the C library's output, so the console shows UTF-8 while
  // the program runs; output to a file or pipe holds the same bytes as on other systems.
  consoleCodePageBefore = GetConsoleOutputCP();
  if (consoleCodePageBefore != 0 && consoleCodePageBefore != CP_UTF8 &&
      SetConsoleOutputCP(CP_UTF8)) {
    std::atexit(restoreConsoleCodePage);
  }
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) {
    return argv;
  }
  // Kept for the life of the process, as argv is.
  static std::vector<std::string> names;
  static std::vector<const char*> arguments;
  for (int i = 0; i < count; ++i) {
    names.push_back(utf8Name(wide[i]));
  }
  LocalFree(wide);
  for (const std::string& name : names) {
    arguments.push_back(name.c_str());
  }
  arguments.push_back(nullptr);
  argc = count;
  return arguments.data();
}

FileIdentity identityOf(FILE* stream) {
  return stream == nullptr ? FileIdentity() : identityOfHandle(handleOf(_fileno(stream)));
}

FILE* openInputFile(const char* name, FileIdentity& identity, int64_t& size) {
  const std::wstring wide = wideName(name);
  if (isFolder(wide)) {
    errno = EISDIR;
    return nullptr;
  }
  // Shared for reading only: while the input is open, no open for writing of the same file
  // succeeds, under whatever name, in this run or in any other program.
  const int fd = _wsopen(wide.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT, _SH_DENYWR);
  if (fd < 0) {
    return nullptr;
  }
  const HANDLE handle = handleOf(fd);
  const LARGE_INTEGER start = {};
  LARGE_INTEGER end = {};
  // Measured with a 64-bit call: long, which ftell gives, has 32 bits here.
  if (kindOf(handle) == FileKind::UNSEEKABLE || !SetFilePointerEx(handle, start, &end, FILE_END) ||
      !SetFilePointerEx(handle, start, nullptr, FILE_BEGIN)) {
    _close(fd);
    errno = ESPIPE;
    return nullptr;
  }
  FILE* stream = _fdopen(fd, "rb");
  if (stream == nullptr) {
    closeKeepingError(fd);
    return nullptr;
  }
  identity = identityOfHandle(handle);
  size = end.QuadPart;
  return stream;
}

bool openFileForWriting(const char* name, WriteTarget target, FILE* const* guarded,
                        int guardedCount, WrittenFile& file) {
  file = WrittenFile();
  const std::wstring wide = wideName(name);
  if (isFolder(wide)) {
    errno = target == WriteTarget::REGULAR_FILE ? EACCES : EISDIR;
    return false;
  }
  // Created only where no file of the name exists, else opened as it is: the file is truncated
  // only once it is known to be one that may be written.
  const int flags = _O_WRONLY | _O_BINARY | _O_NOINHERIT;
  int fd = _wsopen(wide.c_str(), flags | _O_CREAT | _O_EXCL, _SH_DENYNO, _S_IREAD | _S_IWRITE);
  const bool created = fd >= 0;
  if (!created && errno == EEXIST) {
    fd = _wsopen(wide.c_str(), flags, _SH_DENYNO);
  }
  if (fd < 0) {
    return false;
  }
  const HANDLE handle = handleOf(fd);
  const FileKind kind = kindOf(handle);
  file.identity = identityOfHandle(handle);
  int error = refusal(kind, file.identity, target, guarded, guardedCount);
  if (error == 0 && kind == FileKind::REGULAR && _chsize(fd, 0) != 0) {
    error = errno;
  }
  if (error == 0) {
    file.stream = _fdopen(fd, "wb");
    if (file.stream != nullptr) {
      file.removable = kind == FileKind::REGULAR;
      return true;
    }
    error = errno;
  }
  _close(fd);
  // Only a file that this call created goes again; an existing one is left as it was found.
  file.removable = created && kind == FileKind::REGULAR;
  removeWrittenFile(name, file);
  file = WrittenFile();
  errno = error;
  return false;
}

bool removeWrittenFile(const char* name, const WrittenFile& file) {
  if (!file.removable) {
    return true;
  }
  // The file is opened by name and deleted through that handle, only when it is the one written.
  const HANDLE handle = CreateFileW(wideName(name).c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    errno = EACCES;
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
  }
  bool removed = true;
  if (identityOfHandle(handle) == file.identity) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    removed = SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                         sizeof disposition) != 0;
    errno = EACCES;
  }
  CloseHandle(handle);
  return removed;
}

bool offsetsFitLong(FILE* stream) {
  // The position counts bytes still in the buffer; the length, bytes behind a seek back.
  return _ftelli64(stream) <= LONG_MAX && _filelengthi64(_fileno(stream)) <= LONG_MAX;
}
