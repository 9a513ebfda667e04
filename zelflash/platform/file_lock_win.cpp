// The state file's seam on Windows: LockFileEx on the handle, so a second
// open refuses even in the same process, and FlushFileBuffers.
#include "platform/file_lock.h"

#include <algorithm>
#include <mutex>
#include <windows.h>

namespace {

std::mutex cut_mutex;
std::function<size_t(size_t)> append_cut;

size_t bytes_to_keep(size_t size)
{
    std::lock_guard<std::mutex> hold(cut_mutex);
    return append_cut ? std::min(append_cut(size), size) : size;
}

std::string system_error()
{
    char text[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, GetLastError(), 0,
                             text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.'))
        n--;
    return n ? std::string(text, n) : "error " + std::to_string(GetLastError());
}

HANDLE handle_of(intptr_t handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

// The lock covers one byte far past any end the file will reach: Windows
// locks are enforced on reads, and a second zelflash must still read the
// file to say who holds it.
OVERLAPPED lock_range()
{
    OVERLAPPED range{};
    range.Offset = 0;
    range.OffsetHigh = 0x7FFFFFFF;
    return range;
}

bool size_of(HANDLE h, uint64_t* size)
{
    LARGE_INTEGER n{};
    if (!GetFileSizeEx(h, &n))
        return false;
    *size = static_cast<uint64_t>(n.QuadPart);
    return true;
}

bool cut_back(HANDLE h, uint64_t size)
{
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h);
}

}  // namespace

file_lock::~file_lock()
{
    if (handle_ != -1)
        CloseHandle(handle_of(handle_));
}

file_lock_result file_lock::open(const std::string& path, std::string* error)
{
    // Others may read and write it: the lock, not the sharing mode, keeps a
    // second zelflash out, and it must still read who holds it. No
    // FILE_SHARE_DELETE: while it is held nobody can delete, rename or
    // replace it.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        *error = system_error();
        return code == ERROR_FILE_NOT_FOUND ? FILE_LOCK_MISSING : FILE_LOCK_FAILED;
    }
    OVERLAPPED range = lock_range();
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range)) {
        bool busy = GetLastError() == ERROR_LOCK_VIOLATION;
        *error = system_error();
        CloseHandle(h);
        return busy ? FILE_LOCK_BUSY : FILE_LOCK_FAILED;
    }
    handle_ = reinterpret_cast<intptr_t>(h);
    return FILE_LOCK_TAKEN;
}

// The sharing mode of open() keeps the path on this file while it is held.
bool file_lock::still_at(const std::string&, std::string*) const
{
    return true;
}

bool file_lock::read_all(uint64_t max_size, std::string* text, std::string* error) const
{
    HANDLE h = handle_of(handle_);
    uint64_t size = 0;
    if (!size_of(h, &size)) {
        *error = system_error();
        return false;
    }
    if (size > max_size) {
        *error = "the file holds " + std::to_string(size) + " bytes, more than the " + std::to_string(max_size) +
                 " a state file may";
        return false;
    }
    std::string all(static_cast<size_t>(size), '\0');
    size_t done = 0;
    while (done < all.size()) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(done);
        at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(done) >> 32);
        DWORD want = static_cast<DWORD>(std::min<size_t>(all.size() - done, 1u << 20));
        DWORD got = 0;
        if (!ReadFile(h, all.data() + done, want, &got, &at) || got == 0) {
            *error = got == 0 ? "the file became shorter while it was read" : system_error();
            return false;
        }
        done += got;
    }
    *text = std::move(all);
    return true;
}

bool file_lock::append(std::string_view text, std::string* error)
{
    HANDLE h = handle_of(handle_);
    uint64_t before = 0;
    if (!size_of(h, &before)) {
        *error = system_error();
        return false;
    }
    size_t keep = bytes_to_keep(text.size());
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(before);
    at.OffsetHigh = static_cast<DWORD>(before >> 32);
    DWORD written = 0;
    BOOL ok = WriteFile(h, text.data(), static_cast<DWORD>(keep), &written, &at);
    if (keep < text.size()) {
        *error = "the write was cut short after " + std::to_string(keep) + " bytes";
        return false;
    }
    if (ok && written == text.size())
        return true;
    std::string why = ok ? "only " + std::to_string(written) + " of " + std::to_string(text.size()) +
                               " bytes written (is the disk full?)"
                         : system_error();
    if (!cut_back(h, before))
        why += ", and what was written could not be cut off again: " + system_error();
    *error = why;
    return false;
}

bool file_lock::sync(std::string* error)
{
    if (FlushFileBuffers(handle_of(handle_)))
        return true;
    *error = system_error();
    return false;
}

file_lock_made file_lock_make(const std::string& path, std::string_view text, std::string* error)
{
    std::string temporary = path + ".new-" + std::to_string(GetCurrentProcessId());
    HANDLE h = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = system_error();
        return FILE_LOCK_NOT_MADE;
    }
    DWORD written = 0;
    bool ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
              written == text.size() && FlushFileBuffers(h);
    if (!ok)
        *error = system_error();
    CloseHandle(h);
    // Without MOVEFILE_REPLACE_EXISTING the move refuses a file in place.
    bool moved = ok && MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH);
    DWORD code = GetLastError();
    if (ok && !moved)
        *error = system_error();
    if (!moved)
        DeleteFileA(temporary.c_str());
    if (moved)
        return FILE_LOCK_MADE;
    return ok && (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS) ? FILE_LOCK_EXISTS : FILE_LOCK_NOT_MADE;
}

bool file_lock_writable(const std::string& path, std::string* error)
{
    bool exists = GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (exists) {
        HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            *error = path + ": cannot be written: " + system_error();
            return false;
        }
        CloseHandle(h);
        return true;
    }
    std::string probe = path + ".probe-" + std::to_string(GetCurrentProcessId());
    HANDLE h = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = path + ": cannot be made there: " + system_error();
        return false;
    }
    CloseHandle(h);
    return true;
}

bool file_lock_sync_directory(const std::string&, std::string*)
{
    return true;
}

uint64_t file_lock_process_id()
{
    return GetCurrentProcessId();
}

void file_lock_set_append_cut(std::function<size_t(size_t)> keep)
{
    std::lock_guard<std::mutex> hold(cut_mutex);
    append_cut = std::move(keep);
}
