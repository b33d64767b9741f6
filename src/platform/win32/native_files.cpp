// Files, clock and calendar on Windows.
#include "platform/native_files.h"

#include <windows.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

namespace orlith::native {

namespace {

std::wstring widen(std::string_view utf8) {
    if (utf8.empty()) return {};
    int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::string narrow(std::wstring_view wide) {
    if (wide.empty()) return {};
    int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n, nullptr, nullptr);
    return utf8;
}

}  // namespace

bool readFile(const std::string& path, size_t maxBytes, std::string& bytes, int& errorCode) {
    bytes.clear();
    HANDLE file = ::CreateFileW(widen(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        errorCode = static_cast<int>(::GetLastError());
        return false;
    }
    char buffer[4096];
    while (bytes.size() < maxBytes) {
        DWORD want = static_cast<DWORD>(std::min(sizeof buffer, maxBytes - bytes.size()));
        DWORD got = 0;
        if (!::ReadFile(file, buffer, want, &got, nullptr)) {
            errorCode = static_cast<int>(::GetLastError());
            ::CloseHandle(file);
            return false;
        }
        if (got == 0) break;
        bytes.append(buffer, got);
    }
    ::CloseHandle(file);
    return true;
}

FileFailure replaceFile(const std::string& path, std::string_view bytes, int& errorCode) {
    std::wstring target = widen(path);
    std::wstring temp = target + L".tmp" + std::to_wstring(::GetCurrentProcessId());
    HANDLE file = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        errorCode = static_cast<int>(::GetLastError());
        return FileFailure::create;
    }
    bool ok = true;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        DWORD wrote = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
        ok = ::WriteFile(file, bytes.data() + done, want, &wrote, nullptr) != 0;
        done += wrote;
    }
    ok = ok && ::FlushFileBuffers(file) != 0;
    DWORD saved = ::GetLastError();
    ::CloseHandle(file);
    if (!ok) {
        ::DeleteFileW(temp.c_str());
        errorCode = static_cast<int>(saved);
        return FileFailure::write;
    }
    // Unlike the C runtime's rename, this replaces an existing file, in one step.
    if (!::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        errorCode = static_cast<int>(::GetLastError());
        ::DeleteFileW(temp.c_str());
        return FileFailure::replace;
    }
    return FileFailure::none;
}

std::string pathInCurrentDirectory(std::string_view name) {
    std::vector<wchar_t> buffer(1024);
    DWORD n = ::GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (n >= buffer.size()) {
        buffer.resize(n + 1);
        n = ::GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    }
    if (n == 0 || n >= buffer.size()) return std::string(name);
    std::string path = narrow(std::wstring_view(buffer.data(), n));
    if (path.empty() || (path.back() != '\\' && path.back() != '/')) path += '\\';
    path += name;
    return path;
}

bool localTime(uint32_t unixSeconds, LocalDateTime& out) {
    __time64_t t = static_cast<__time64_t>(unixSeconds);
    std::tm local{};
    if (::_localtime64_s(&local, &t) != 0) return false;
    out = {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min};
    return true;
}

uint32_t unixTime() { return static_cast<uint32_t>(::_time64(nullptr)); }

}  // namespace orlith::native
