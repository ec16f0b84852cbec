// The platform's documented rules for resolving an activation, as pure
// functions over what the registry and the file system hold, so that each
// rule is tested on its own and the checks only gather the facts.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace check {

// Where COM creates an in-process class for the single-threaded server, from
// the class's ThreadingModel. `model` is nullptr when the value is absent.
enum class ComponentApartment {
    kMain,     // the creating thread's apartment: the server's main thread
    kFree,     // the multithreaded apartment
    kNeutral,  // the neutral apartment
};
ComponentApartment ApartmentOfModel(const std::wstring* model);
// Aggregation holds only inside one apartment: across apartments the class
// refuses an outer object with CLASS_E_NOAGGREGATION.
inline bool AggregatesInMainApartment(ComponentApartment apartment) { return apartment == ComponentApartment::kMain; }

// How CreateProcess reads the program out of a command line such as
// LocalServer32's: a quoted name is the program; an unquoted one is tried
// at each blank (space or tab) in turn, shortest first, so that
// `C:\Program Files\A\k.exe` tries `C:\Program.exe` before the whole. A
// name whose last part has no extension gets `.exe`.
struct CommandProgram {
    std::vector<std::wstring> candidates;  // in the order tried; empty on a problem
    bool quoted = false;
    std::string problem;  // why the line names no program
};
CommandProgram ProgramsOfCommand(const std::wstring& command);

// The folders in which CreateProcess looks for a name without a folder, in
// its order: the launching program's folder, its current folder, the system
// folder, the 16-bit system folder, the Windows folder, then PATH's entries.
// For COM's launcher, a service of the system folder, the first two are the
// system folder.
struct SearchFacts {
    std::wstring launcherFolder;
    std::wstring currentFolder;
    std::wstring systemFolder;
    std::wstring windowsFolder;
    std::wstring path;  // PATH, entries separated by ';'
};
std::vector<std::wstring> SearchOrder(const SearchFacts& facts, const std::wstring& name);
// The same for LoadLibrary's search of a DLL name in a process whose program
// lies in launcherFolder: its folder, the system folder, the 16-bit system
// folder, the Windows folder, the current folder, then PATH's entries.
std::vector<std::wstring> LibrarySearchOrder(const SearchFacts& facts, const std::wstring& name);
bool HasFolder(const std::wstring& name);
bool IsAbsolute(const std::wstring& name);

// %NAME% replaced as ExpandEnvironmentStrings replaces it: a name that
// `lookup` does not know, and a lone percent sign, stay as they are.
using VariableLookup = std::function<bool(const std::wstring& name, std::wstring* value)>;
std::wstring ExpandVariables(const std::wstring& text, const VariableLookup& lookup);
// The variable whose value a process of `bits` on 64-bit Windows sees under
// `name`: a 32-bit process's ProgramFiles is ProgramFiles(x86), a 64-bit
// one's ProgramW6432, and so for CommonProgramFiles.
std::wstring VariableSeenBy(const std::wstring& name, int bits);

// The version key of a type library that LoadRegTypeLib loads for the
// version asked for ("1.0"; keys and request are major.minor in hex): the
// same version when registered, otherwise the greatest minor version above
// the one asked for under the same major version. Empty when none serves.
std::wstring LibraryVersionServing(const std::vector<std::wstring>& registered, const std::wstring& wanted);

// The registry view whose LocalServer32 an out-of-process activation uses
// when the class is in `in32` and/or `in64`, under the AppID's
// PreferredServerBitness (0 absent or unknown, 1 the client's, 2 32-bit, 3
// 64-bit). 0 when the class is in neither view.
int ServerViewOf(int preferredBitness, int clientBits, bool in32, bool in64);

}  // namespace check
