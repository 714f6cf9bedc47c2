// The file system on Windows: names in UTF-8 inside the batch and UTF-16 at the system, reads
// and writes at offsets through the file's handle, a rename that replaces its target.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <random>
#include <thread>

#include "files.h"

namespace {

std::wstring wide(const std::string& name) {
  const int size = MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, nullptr, 0);
  std::wstring text(size_t(size > 0 ? size : 1), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, text.data(), size);
  text.pop_back();
  return text;
}

HANDLE handleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// The C library's error number closest to the system's last error.
int lastError() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return EEXIST;
    default:
      return EIO;
  }
}

std::string scratchPath(const RunSetup& setup, const std::string& name) {
  return setup.scratchDir + "/" + name;
}

// The file's volume and index; false when they cannot be told.
bool identityOfName(const std::wstring& name, BY_HANDLE_FILE_INFORMATION& info) {
  const HANDLE handle =
      CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  const bool known = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  return known;
}

}  // namespace

int openInput(const std::string& path, int64_t& size) {
  int fd = -1;
  // Shared for reading only: nothing may write to the input while it is read.
  if (_wsopen_s(&fd, wide(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT, _SH_DENYWR, 0) !=
      0) {
    return -1;
  }
  struct _stat64 status;
  int error = _fstat64(fd, &status) != 0 ? errno : 0;
  if (error == 0 && (status.st_mode & _S_IFDIR) != 0) {
    error = EISDIR;
  } else if (error == 0 && (GetFileType(handleOf(fd)) != FILE_TYPE_DISK)) {
    error = ESPIPE;
  }
  if (error != 0) {
    _close(fd);
    errno = error;
    return -1;
  }
  size = status.st_size;
  return fd;
}

int readAt(int fd, uint64_t offset, void* buffer, size_t size, size_t* got) {
  *got = 0;
  while (*got < size) {
    OVERLAPPED at = {};
    at.Offset = DWORD(offset + *got);
    at.OffsetHigh = DWORD((offset + *got) >> 32);
    const DWORD want = size - *got > (1u << 30) ? (1u << 30) : DWORD(size - *got);
    DWORD count = 0;
    if (!ReadFile(handleOf(fd), static_cast<char*>(buffer) + *got, want, &count, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) {
        break;
      }
      return lastError();
    }
    if (count == 0) {
      break;
    }
    *got += count;
  }
  return 0;
}

int writeAt(int fd, uint64_t offset, const void* bytes, size_t size) {
  for (size_t done = 0; done < size;) {
    OVERLAPPED at = {};
    at.Offset = DWORD(offset + done);
    at.OffsetHigh = DWORD((offset + done) >> 32);
    const DWORD want = size - done > (1u << 30) ? (1u << 30) : DWORD(size - done);
    DWORD count = 0;
    if (!WriteFile(handleOf(fd), static_cast<const char*>(bytes) + done, want, &count, &at) ||
        count == 0) {
      return lastError();
    }
    done += count;
  }
  return 0;
}

int closeFile(int fd) { return _close(fd) == 0 ? 0 : errno; }

bool makeScratchFolder(RunSetup& setup) {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%06x", unsigned(random()) & 0xFFFFFFu);
    const std::string name = setup.outName + "/.seqmend-batch-" + suffix;
    if (CreateDirectoryW(wide(name).c_str(), nullptr)) {
      setup.scratchDir = name;
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      errno = lastError();
      return false;
    }
  }
  errno = EEXIST;
  return false;
}

void removeScratchFolder(RunSetup& setup) {
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(wide(setup.scratchDir)), ignored);
}

int createScratch(const RunSetup& setup, const std::string& name) {
  return _wopen(wide(scratchPath(setup, name)).c_str(),
                _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT, 0666);
}

void removeScratch(const RunSetup& setup, const std::string& name) {
  DeleteFileW(wide(scratchPath(setup, name)).c_str());
}

// The input is open without sharing for deletion, so a link to it could not be renamed: sound
// files are copied.
int linkInput(const RunSetup&, const std::string&, int, const std::string&) { return ENOTSUP; }

int placeScratch(const RunSetup& setup, const std::string& name, const std::string& relative,
                 const std::string& destName, int inputFd) {
  const size_t slash = relative.find_last_of('/');
  std::string folder = setup.outName;
  if (slash != std::string::npos) {
    folder += '/';
    folder.append(relative, 0, slash);
  }
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(wide(folder)), error);
  const std::wstring target = wide(folder + "/" + destName);
  BY_HANDLE_FILE_INFORMATION input, there;
  if (GetFileInformationByHandle(handleOf(inputFd), &input) && identityOfName(target, there) &&
      input.dwVolumeSerialNumber == there.dwVolumeSerialNumber &&
      input.nFileIndexHigh == there.nFileIndexHigh && input.nFileIndexLow == there.nFileIndexLow) {
    return EACCES;  // the input itself
  }
  return MoveFileExW(wide(scratchPath(setup, name)).c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING)
             ? 0
             : lastError();
}

bool isTerminal(int fd) { return _isatty(fd) != 0; }

void reportToStandardOutput() { _setmode(STANDARD_OUTPUT, _O_BINARY); }

long writeSome(int fd, const void* bytes, size_t size) {
  return long(_write(fd, bytes, unsigned(size > (1u << 30) ? (1u << 30) : size)));
}

int openReport(const std::string& name, bool resume) {
  return _wopen(wide(name).c_str(),
                (resume ? _O_RDWR | _O_CREAT | _O_APPEND : _O_WRONLY | _O_CREAT | _O_TRUNC) |
                    _O_BINARY | _O_NOINHERIT,
                0666);
}

int truncateFile(int fd, uint64_t size) { return _chsize_s(fd, int64_t(size)); }

bool openOutFolder(RunSetup& setup) {
  const DWORD attributes = GetFileAttributesW(wide(setup.outName).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    errno = attributes == INVALID_FILE_ATTRIBUTES ? lastError() : ENOTDIR;
    return false;
  }
  return true;
}

void prepareProcess(void (*stop)(int)) {
  signal(SIGINT, stop);
  signal(SIGTERM, stop);
}

int processorCount() {
  const unsigned count = std::thread::hardware_concurrency();
  return count > 0 ? int(count) : 1;
}
