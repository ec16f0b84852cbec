// Reading a deployment without changing it: registry values of one view,
// read into bounded buffers with their type checked, and the machine of a PE
// file from its headers. Nothing here writes to the registry or to a file.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace check {

// The registry views of this machine that a process may see: 32 and 64 on
// 64-bit Windows, 32 alone on 32-bit Windows.
std::vector<int> MachineViews();
// The bitness of this process, which is the client's.
int ClientBits();

enum class ValueState { kPresent, kNoKey, kNoValue, kWrongType, kTooLong, kDenied };

struct StringValue {
    ValueState state = ValueState::kNoKey;
    std::wstring text;  // kPresent: the value, REG_EXPAND_SZ expanded
    DWORD type = REG_NONE;
    DWORD size = 0;             // kWrongType, kTooLong: the value's size in bytes
    const char* hive = "HKLM";  // where the value, or the key without it, was found
};

// Whether this process runs elevated: COM then reads only the machine's
// classes, not the user's.
bool RunsElevated();

// A string value (REG_SZ or REG_EXPAND_SZ) of a class registration, read as
// HKEY_CLASSES_ROOT merges it (the user's Software\Classes over the
// machine's, the machine's alone when elevated) in the registry view of
// `bits`; name nullptr for the key's default value. REG_EXPAND_SZ is expanded
// as a process of `expandBits` expands it (0: `bits`).
StringValue ReadString(int bits, const std::wstring& subkey, const wchar_t* name, int expandBits = 0);
// The same for a value of HKEY_LOCAL_MACHINE\subkey in the native view.
StringValue ReadMachineValue(const std::wstring& subkey, const wchar_t* name);
// Whether the key is there in either hive; `hive` says which one serves.
bool KeyExists(int bits, const std::wstring& subkey, const char** hive = nullptr);
// A REG_DWORD value of a class registration, read as ReadString reads;
// false when there is none of that type.
bool ReadDword(int bits, const std::wstring& subkey, const wchar_t* name, DWORD* value, const char** hive);
// The names of the subkeys of a class registration, of both hives.
std::vector<std::wstring> SubkeyNames(int bits, const std::wstring& subkey);
// True when the value is a REG_MULTI_SZ: a Windows Installer descriptor.
bool HasMultiString(int bits, const std::wstring& subkey, const wchar_t* name);
// "value of type REG_DWORD, not a string", "no such key", ...
std::string ValueProblem(const StringValue& value);

std::wstring GuidKey(const GUID& guid);

// The program that CreateProcess would start for a command line, looked up
// as the native service that starts COM servers looks it up: in the native
// system folder, its current folder, then the machine's PATH.
struct StartedProgram {
    std::wstring program;  // the file found, or the first name tried when none is
    bool found = false;
    bool quoted = false;
    bool ambiguous = false;  // unquoted, and the file's name holds a blank
    std::string problem;     // the line names no program
};
StartedProgram ProgramStartedBy(const std::wstring& command);
// The file that LoadLibrary loads for `name` in a process of `bits` whose
// program is `program` (started by COM, so its current folder is the system
// folder); `name` itself when no file is found.
std::wstring LibraryLoadedBy(const std::wstring& name, int bits, const std::wstring& program);
std::wstring FileNameOf(const std::wstring& path);

// The path by which this process reaches the file that a process of `bits`
// names `path`: a 32-bit process's system folder is SysWOW64, and a 32-bit
// process reaches the 64-bit one as Sysnative.
std::wstring PathSeenBy(const std::wstring& path, int bits);

struct PeFile {
    HRESULT hr = E_FAIL;  // S_OK when the headers were read
    WORD machine = 0;
    bool dll = false;
};
// The headers of the file at `path` as a process of `bits` names it (its
// system folder is another folder for a 32-bit process on 64-bit Windows).
PeFile ReadPe(const std::wstring& path, int bits);
// 32 or 64 for the machines that run on x86 Windows; 0 for any other.
int MachineBits(WORD machine);
// The bitness of this machine's own processes.
int NativeBits();
std::string MachineText(WORD machine);

}  // namespace check
