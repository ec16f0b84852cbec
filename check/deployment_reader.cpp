#include "deployment_reader.h"

#include <ole2.h>

#include <cstdio>

namespace check {

namespace {

// Far above any path or GUID that a registration holds; a longer value is an
// error in the registration, reported, never read.
constexpr DWORD kMaxValueChars = 2048;

bool OnWow64()
{
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

REGSAM ViewFlag(int bits)
{
    if (MachineViews().size() == 1)
        return 0;
    return bits == 64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
}

class Key {
public:
    Key(int bits, const std::wstring& subkey)
    {
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, subkey.c_str(), 0, KEY_READ | ViewFlag(bits), &key_) != ERROR_SUCCESS)
            key_ = nullptr;
    }
    ~Key()
    {
        if (key_ != nullptr)
            RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

class Handle {
public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle()
    {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// Turns the file system redirection of a 32-bit process off while a 64-bit
// path is read, and on again.
class NativePaths {
public:
    explicit NativePaths(bool needed) : active_(needed && Wow64DisableWow64FsRedirection(&old_)) {}
    ~NativePaths()
    {
        if (active_)
            Wow64RevertWow64FsRedirection(old_);
    }
    NativePaths(const NativePaths&) = delete;
    NativePaths& operator=(const NativePaths&) = delete;

private:
    void* old_ = nullptr;
    bool active_;
};

bool StartsWithFolder(const std::wstring& path, const wchar_t* folder)
{
    const size_t length = lstrlenW(folder);
    return length > 0 && path.size() > length && (path[length] == L'\\' || path[length] == L'/') &&
           CompareStringOrdinal(path.c_str(), static_cast<int>(length), folder, static_cast<int>(length), TRUE) ==
               CSTR_EQUAL;
}

bool ReadExactly(HANDLE file, LONG offset, void* buffer, DWORD size)
{
    DWORD read = 0;
    return SetFilePointer(file, offset, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
           ReadFile(file, buffer, size, &read, nullptr) && read == size;
}

}  // namespace

std::vector<int> MachineViews()
{
    if (sizeof(void*) == 8 || OnWow64())
        return {32, 64};
    return {32};
}

int ClientBits() { return static_cast<int>(sizeof(void*) * 8); }

StringValue ReadString(int bits, const std::wstring& subkey, const wchar_t* name)
{
    StringValue value;
    Key key(bits, subkey);
    if (key.get() == nullptr)
        return value;
    std::vector<wchar_t> buffer(kMaxValueChars + 1, L'\0');
    DWORD size = kMaxValueChars * sizeof(wchar_t);
    const LSTATUS status =
        RegQueryValueExW(key.get(), name, nullptr, &value.type, reinterpret_cast<BYTE*>(buffer.data()), &size);
    value.size = size;
    if (status == ERROR_FILE_NOT_FOUND) {
        value.state = ValueState::kNoValue;
    } else if (status == ERROR_MORE_DATA) {
        value.state = ValueState::kTooLong;
    } else if (status != ERROR_SUCCESS) {
        value.state = ValueState::kNoValue;
    } else if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) {
        value.state = ValueState::kWrongType;
    } else {
        // The value need not end with its terminator; the buffer has one more.
        value.text.assign(buffer.data(), size / sizeof(wchar_t));
        value.text.resize(lstrlenW(value.text.c_str()));
        value.state = ValueState::kPresent;
        if (value.type == REG_EXPAND_SZ) {
            std::vector<wchar_t> expanded(kMaxValueChars + 1, L'\0');
            const DWORD length = ExpandEnvironmentStringsW(value.text.c_str(), expanded.data(), kMaxValueChars);
            if (length == 0 || length > kMaxValueChars)
                value.state = ValueState::kTooLong;
            else
                value.text = expanded.data();
        }
    }
    return value;
}

bool KeyExists(int bits, const std::wstring& subkey) { return Key(bits, subkey).get() != nullptr; }

std::string ValueProblem(const StringValue& value)
{
    char text[96];
    switch (value.state) {
    case ValueState::kPresent:
        return "present";
    case ValueState::kNoKey:
        return "no such key";
    case ValueState::kNoValue:
        return "the key has no such value";
    case ValueState::kWrongType:
        std::snprintf(text, sizeof text, "a value of type %lu%s, not a string", static_cast<unsigned long>(value.type),
                      value.type == REG_DWORD ? " (REG_DWORD)" : "");
        return text;
    case ValueState::kTooLong:
        std::snprintf(text, sizeof text, "a value of %lu bytes, far too long for a path",
                      static_cast<unsigned long>(value.size));
        return text;
    }
    return "unreadable";
}

std::wstring GuidKey(const GUID& guid)
{
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

bool ProgramOfCommand(const std::wstring& command, std::wstring* program, std::string* problem)
{
    const size_t start = command.find_first_not_of(L' ');
    if (start == std::wstring::npos) {
        *problem = "the value is empty";
        return false;
    }
    if (command[start] == L'"') {
        const size_t end = command.find(L'"', start + 1);
        if (end == std::wstring::npos) {
            *problem = "a double quote opens the path and none closes it";
            return false;
        }
        *program = command.substr(start + 1, end - start - 1);
    } else {
        const size_t end = command.find(L' ', start);
        *program = command.substr(start, end - start);
        // What follows an unquoted program is switches; anything else is the
        // rest of a path with a blank, which the platform would not run.
        const size_t rest = end == std::wstring::npos ? end : command.find_first_not_of(L' ', end);
        if (rest != std::wstring::npos && command[rest] != L'-' && command[rest] != L'/') {
            *problem = "a blank outside double quotes ends the program's name";
            return false;
        }
    }
    if (program->empty()) {
        *problem = "the value names no program";
        return false;
    }
    return true;
}

std::wstring FileNameOf(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

PeFile ReadPe(const std::wstring& path, int bits)
{
    PeFile pe;
    std::wstring native = path;
    const bool redirected = MachineViews().size() == 2 && bits != ClientBits();
    if (redirected && ClientBits() == 64 && bits == 32) {
        // The 32-bit process's system folder is this process's SysWOW64.
        wchar_t system[MAX_PATH] = {};
        wchar_t wow64[MAX_PATH] = {};
        if (GetSystemDirectoryW(system, MAX_PATH) && GetSystemWow64DirectoryW(wow64, MAX_PATH) &&
            StartsWithFolder(path, system))
            native = wow64 + path.substr(lstrlenW(system));
    }
    NativePaths paths(redirected && ClientBits() == 32);
    Handle file(CreateFileW(native.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        pe.hr = HRESULT_FROM_WIN32(GetLastError());
        return pe;
    }
    IMAGE_DOS_HEADER dos = {};
    DWORD signature = 0;
    IMAGE_FILE_HEADER header = {};
    if (!ReadExactly(file.get(), 0, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0 ||
        !ReadExactly(file.get(), dos.e_lfanew, &signature, sizeof signature) || signature != IMAGE_NT_SIGNATURE ||
        !ReadExactly(file.get(), dos.e_lfanew + static_cast<LONG>(sizeof signature), &header, sizeof header)) {
        pe.hr = HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT);
        return pe;
    }
    pe.hr = S_OK;
    pe.machine = header.Machine;
    pe.dll = (header.Characteristics & IMAGE_FILE_DLL) != 0;
    return pe;
}

int MachineBits(WORD machine)
{
    if (machine == IMAGE_FILE_MACHINE_I386)
        return 32;
    return machine == IMAGE_FILE_MACHINE_AMD64 ? 64 : 0;
}

std::string MachineText(WORD machine)
{
    if (machine == IMAGE_FILE_MACHINE_I386)
        return "x86 (32-bit)";
    if (machine == IMAGE_FILE_MACHINE_AMD64)
        return "x64 (64-bit)";
    char text[40];
    std::snprintf(text, sizeof text, "machine 0x%04X", machine);
    return text;
}

}  // namespace check
