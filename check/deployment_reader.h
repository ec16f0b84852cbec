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

enum class ValueState { kPresent, kNoKey, kNoValue, kWrongType, kTooLong };

struct StringValue {
    ValueState state = ValueState::kNoKey;
    std::wstring text;  // kPresent: the value, REG_EXPAND_SZ expanded
    DWORD type = REG_NONE;
    DWORD size = 0;  // kWrongType, kTooLong: the value's size in bytes
};

// A string value (REG_SZ or REG_EXPAND_SZ) of HKEY_CLASSES_ROOT\subkey in the
// registry view of `bits`; name nullptr for the key's default value.
StringValue ReadString(int bits, const std::wstring& subkey, const wchar_t* name);
bool KeyExists(int bits, const std::wstring& subkey);
// "value of type REG_DWORD, not a string", "no such key", ...
std::string ValueProblem(const StringValue& value);

std::wstring GuidKey(const GUID& guid);

// The program named by a LocalServer32 command line: in double quotes, or up
// to the first blank. False, with `problem` set, for a line that names none.
bool ProgramOfCommand(const std::wstring& command, std::wstring* program, std::string* problem);
std::wstring FileNameOf(const std::wstring& path);

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
std::string MachineText(WORD machine);

}  // namespace check
