#include "deployment_reader.h"

#include <ole2.h>

#include "platform_rules.h"
#include "registrar/command_line_quoting.h"

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
    Key(HKEY root, const std::wstring& subkey, REGSAM view)
    {
        status_ = RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ | view, &key_);
        if (status_ != ERROR_SUCCESS)
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
    LSTATUS status() const { return status_; }

private:
    HKEY key_ = nullptr;
    LSTATUS status_ = ERROR_FILE_NOT_FOUND;
};

const wchar_t kClassesKey[] = L"Software\\Classes\\";

// The hives that HKEY_CLASSES_ROOT merges, the one that wins first.
struct Hive {
    HKEY root;
    const char* name;
};
std::vector<Hive> ClassHives()
{
    if (RunsElevated())
        return {{HKEY_LOCAL_MACHINE, "HKLM"}};
    return {{HKEY_CURRENT_USER, "HKCU"}, {HKEY_LOCAL_MACHINE, "HKLM"}};
}

// The value as a process of `bits` sees its %VARIABLES%.
std::wstring ExpandAs(const std::wstring& text, int bits)
{
    const bool otherBits = MachineViews().size() == 2;
    return ExpandVariables(text, [bits, otherBits](const std::wstring& name, std::wstring* value) {
        const std::wstring seen = otherBits ? VariableSeenBy(name, bits) : name;
        wchar_t buffer[kMaxValueChars + 1] = {};
        DWORD length = GetEnvironmentVariableW(seen.c_str(), buffer, kMaxValueChars);
        if ((length == 0 || length > kMaxValueChars) && seen != name)
            length = GetEnvironmentVariableW(name.c_str(), buffer, kMaxValueChars);
        if (length == 0 || length > kMaxValueChars)
            return false;
        *value = buffer;
        return true;
    });
}

// One value of an open key into `value`; false when the key lacks it.
bool QueryString(HKEY key, const wchar_t* name, int expandBits, StringValue* value)
{
    std::vector<wchar_t> buffer(kMaxValueChars + 1, L'\0');
    DWORD size = kMaxValueChars * sizeof(wchar_t);
    const LSTATUS status =
        RegQueryValueExW(key, name, nullptr, &value->type, reinterpret_cast<BYTE*>(buffer.data()), &size);
    value->size = size;
    if (status == ERROR_FILE_NOT_FOUND) {
        value->state = ValueState::kNoValue;
        return false;
    }
    if (status == ERROR_MORE_DATA) {
        value->state = ValueState::kTooLong;
    } else if (status == ERROR_ACCESS_DENIED) {
        value->state = ValueState::kDenied;
    } else if (status != ERROR_SUCCESS) {
        value->state = ValueState::kNoValue;
    } else if (value->type != REG_SZ && value->type != REG_EXPAND_SZ) {
        value->state = ValueState::kWrongType;
    } else {
        // The value need not end with its terminator; the buffer has one more.
        value->text.assign(buffer.data(), size / sizeof(wchar_t));
        value->text.resize(lstrlenW(value->text.c_str()));
        value->state = ValueState::kPresent;
        if (value->type == REG_EXPAND_SZ) {
            value->text = ExpandAs(value->text, expandBits);
            if (value->text.size() > kMaxValueChars)
                value->state = ValueState::kTooLong;
        }
    }
    return true;
}

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

bool RunsElevated()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    const bool elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                          elevation.TokenIsElevated != 0;
    CloseHandle(token);
    return elevated;
}

StringValue ReadString(int bits, const std::wstring& subkey, const wchar_t* name, int expandBits)
{
    StringValue value;
    bool keyFound = false;
    for (const Hive& hive : ClassHives()) {
        Key key(hive.root, kClassesKey + subkey, ViewFlag(bits));
        if (key.get() == nullptr) {
            // A key that access is denied to hides what lies under it.
            if (key.status() == ERROR_ACCESS_DENIED) {
                value.state = ValueState::kDenied;
                value.hive = hive.name;
                return value;
            }
            continue;
        }
        StringValue found;
        found.hive = hive.name;
        if (QueryString(key.get(), name, expandBits != 0 ? expandBits : bits, &found))
            return found;
        if (!keyFound)
            value = found;
        keyFound = true;
    }
    return value;
}

StringValue ReadMachineValue(const std::wstring& subkey, const wchar_t* name)
{
    StringValue value;
    Key key(HKEY_LOCAL_MACHINE, subkey, ViewFlag(NativeBits()));
    if (key.get() != nullptr)
        QueryString(key.get(), name, NativeBits(), &value);
    else if (key.status() == ERROR_ACCESS_DENIED)
        value.state = ValueState::kDenied;
    return value;
}

bool KeyExists(int bits, const std::wstring& subkey, const char** hive)
{
    for (const Hive& root : ClassHives()) {
        if (Key(root.root, kClassesKey + subkey, ViewFlag(bits)).get() != nullptr) {
            if (hive != nullptr)
                *hive = root.name;
            return true;
        }
    }
    return false;
}

bool ReadDword(int bits, const std::wstring& subkey, const wchar_t* name, DWORD* value, const char** hive)
{
    for (const Hive& root : ClassHives()) {
        Key key(root.root, kClassesKey + subkey, ViewFlag(bits));
        DWORD type = REG_NONE;
        DWORD size = sizeof *value;
        if (key.get() == nullptr ||
            RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS)
            continue;
        *hive = root.name;
        return type == REG_DWORD;
    }
    return false;
}

std::vector<std::wstring> SubkeyNames(int bits, const std::wstring& subkey)
{
    std::vector<std::wstring> names;
    for (const Hive& root : ClassHives()) {
        Key key(root.root, kClassesKey + subkey, ViewFlag(bits));
        wchar_t name[256];
        for (DWORD index = 0; key.get() != nullptr; ++index) {
            DWORD length = 256;
            if (RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            names.emplace_back(name, length);
        }
    }
    return names;
}

bool HasMultiString(int bits, const std::wstring& subkey, const wchar_t* name)
{
    for (const Hive& hive : ClassHives()) {
        Key key(hive.root, kClassesKey + subkey, ViewFlag(bits));
        DWORD type = REG_NONE;
        if (key.get() != nullptr &&
            RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS)
            return type == REG_MULTI_SZ;
    }
    return false;
}

std::string ValueProblem(const StringValue& value)
{
    char text[96];
    switch (value.state) {
    case ValueState::kPresent:
        return "present";
    case ValueState::kNoKey:
        return "no such key";
    case ValueState::kDenied:
        return std::string("access denied in ") + value.hive;
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

int NativeBits() { return MachineViews().back(); }

// The folders a program is searched in as the machine's launcher searches:
// the launcher's, current and system folders are the system folder, and the
// PATH is the machine's, not this process's.
static SearchFacts MachineSearchFacts()
{
    wchar_t system[MAX_PATH] = {};
    wchar_t windows[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    GetWindowsDirectoryW(windows, MAX_PATH);
    SearchFacts facts;
    facts.launcherFolder = facts.currentFolder = facts.systemFolder = system;
    facts.windowsFolder = windows;
    const StringValue path =
        ReadMachineValue(L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", L"Path");
    facts.path = path.state == ValueState::kPresent ? path.text : std::wstring();
    return facts;
}

std::wstring LibraryLoadedBy(const std::wstring& name, int bits, const std::wstring& program)
{
    if (IsAbsolute(name))
        return name;
    SearchFacts facts = MachineSearchFacts();
    const size_t slash = program.find_last_of(L"\\/");
    if (slash != std::wstring::npos)
        facts.launcherFolder = program.substr(0, slash);
    for (const std::wstring& file : LibrarySearchOrder(facts, name)) {
        const DWORD attributes = GetFileAttributesW(PathSeenBy(file, bits).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            return file;
    }
    return name;
}

StartedProgram ProgramStartedBy(const std::wstring& command)
{
    StartedProgram started;
    const CommandProgram parsed = ProgramsOfCommand(command);
    started.quoted = parsed.quoted;
    started.problem = parsed.problem;
    if (parsed.candidates.empty())
        return started;
    const SearchFacts facts = MachineSearchFacts();
    started.program = parsed.candidates.front();
    for (const std::wstring& candidate : parsed.candidates) {
        for (const std::wstring& file : SearchOrder(facts, candidate)) {
            const DWORD attributes = GetFileAttributesW(PathSeenBy(file, NativeBits()).c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
                continue;
            started.program = file;
            started.found = true;
            started.ambiguous = !parsed.quoted && command_line::NeedsQuotes(candidate.c_str());
            return started;
        }
    }
    return started;
}

std::wstring FileNameOf(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring PathSeenBy(const std::wstring& path, int bits)
{
    if (MachineViews().size() != 2 || bits == ClientBits())
        return path;
    wchar_t system[MAX_PATH] = {};
    wchar_t other[MAX_PATH] = {};
    if (ClientBits() == 64) {
        if (GetSystemDirectoryW(system, MAX_PATH) && GetSystemWow64DirectoryW(other, MAX_PATH) &&
            StartsWithFolder(path, system))
            return other + path.substr(lstrlenW(system));
        return path;
    }
    if (GetSystemDirectoryW(system, MAX_PATH) && GetWindowsDirectoryW(other, MAX_PATH) &&
        StartsWithFolder(path, system))
        return std::wstring(other) + L"\\Sysnative" + path.substr(lstrlenW(system));
    return path;
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
