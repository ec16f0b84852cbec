// The reading half of the registry-script engine: finding the module path and
// the substitution variables, loading a script resource, and the section loop
// that hands each root block to the applying half.
#include "registrar/script_reader.h"
#include "registrar/command_line_quoting.h"

#include "errors.h"
#include "handles.h"
#include "module_allocator.h"
#include "registrar/script_applier.h"
#include "registrar/script_text.h"
#include "registrar/undo_journal.h"
#include "server_module.h"
#include "task_memory.h"

namespace {

// The predefined keys by number: a table of handles would be an integer cast
// to a pointer, which C++ does not count as constant initialisation.
struct RootKey {
    const char* name;
    DWORD key;
};

const RootKey kRootKeyTable[] = {
    {"HKCR", 0x80000000},
    {"HKCU", 0x80000001},
    {"HKLM", 0x80000002},
    {"HKU", 0x80000003},
    {"HKPD", 0x80000004},
    {"HKDD", 0x80000006},
    {"HKCC", 0x80000005},
    {"HKEY_CLASSES_ROOT", 0x80000000},
    {"HKEY_CURRENT_USER", 0x80000001},
    {"HKEY_LOCAL_MACHINE", 0x80000002},
    {"HKEY_USERS", 0x80000003},
    {"HKEY_PERFORMANCE_DATA", 0x80000004},
    {"HKEY_DYN_DATA", 0x80000006},
    {"HKEY_CURRENT_CONFIG", 0x80000005},
};

// Sign-extended on 64-bit Windows, as the platform's own definitions are.
HKEY PredefinedKey(DWORD number) { return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(number))); }

const wchar_t kScriptResourceType[] = L"REGISTRY";

// The expanded text lives in task memory, counted in test builds.
using UniqueTaskText = UniqueTaskMemory<char>;

bool HoldsZeroByte(const char* bytes, DWORD size)
{
    for (DWORD i = 0; i < size; ++i) {
        if (bytes[i] == '\0')
            return true;
    }
    return false;
}

HRESULT RunNamedResourceScript(ReplacementMap* map, const wchar_t* modulePath, WORD resourceId, const wchar_t* typeName,
                               BOOL registering)
{
    char type[kNameBufferSize];
    if (WideCharToMultiByte(CP_ACP, 0, typeName, -1, type, sizeof(type), nullptr, nullptr) == 0)
        return LastErrorResult();
    return RunResourceScript(map, modulePath, resourceId, type, registering);
}

}  // namespace

void DoubleSingleQuotes(wchar_t* destination, const wchar_t* source)
{
    for (; *source != L'\0'; ++source) {
        *destination++ = *source;
        if (*source == L'\'')
            *destination++ = L'\'';
    }
    *destination = L'\0';
}

void ModuleVariableValue(wchar_t* destination, const wchar_t* path)
{
    const bool blank = command_line::NeedsQuotes(path);
    if (blank)
        *destination++ = L'"';
    // The scripts quote the variable, and the tokenizer turns each doubled
    // quote back into one, so the path reaches the registry unchanged.
    DoubleSingleQuotes(destination, path);
    if (blank) {
        destination += lstrlenW(destination);
        *destination++ = L'"';
        *destination = L'\0';
    }
}

// --- Finding and loading the script -----------------------------------------

HRESULT ApplyScriptResource(ServerModule* module, WORD resourceId, BOOL registering, const ScriptVariable* extraPairs)
{
    if (module == nullptr)
        return E_INVALIDARG;
    const ModulePathSource source = {module->moduleInstance, GetShortPathNameA};
    return ApplyScriptResourceFrom(source, resourceId, registering, extraPairs);
}

HRESULT FindModulePath(const ModulePathSource& source, char* path)
{
    const DWORD length = GetModuleFileNameA(source.instance, path, kNameBufferSize);
    if (length == 0)
        return LastErrorResult();
    // A name that filled the buffer was cut short and names some other file.
    if (length >= kNameBufferSize)
        return E_OUTOFMEMORY;
    if (source.instance != nullptr && source.instance != GetModuleHandleA(nullptr))
        return S_OK;
    char shortPath[kNameBufferSize];
    const DWORD shortLength = source.shortPathName(path, shortPath, kNameBufferSize);
    if (shortLength >= kNameBufferSize)
        return E_OUTOFMEMORY;
    if (shortLength != 0)
        lstrcpyA(path, shortPath);  // a failed call keeps the long name
    return S_OK;
}

HRESULT ApplyScriptResourceFrom(const ModulePathSource& source, WORD resourceId, BOOL registering,
                                const ScriptVariable* extraPairs)
{
    ReplacementMap map;
    RETURN_IF_FAILED(map.Create());

    char path[kNameBufferSize];
    HRESULT hr = FindModulePath(source, path);
    wchar_t widePath[kNameBufferSize];
    if (SUCCEEDED(hr) && MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, kNameBufferSize) == 0)
        hr = LastErrorResult();
    if (FAILED(hr)) {
        map.Destroy();
        return hr;
    }

    // A path with a blank goes in double quotes: LocalServer32 is a command
    // line that the COM runtime executes, and an unquoted blank would end the
    // program name there. The file itself is always loaded by its plain path.
    wchar_t moduleValue[2 * kNameBufferSize + 3];
    ModuleVariableValue(moduleValue, widePath);
    // A pair that cannot be added is absent; a script naming it then fails.
    map.Add(L"Module", moduleValue);
    for (const ScriptVariable* pair = extraPairs; pair != nullptr && pair->name != nullptr; ++pair)
        map.Add(pair->name, pair->value);

    hr = registering ? RegisterScriptResource(&map, widePath, resourceId, kScriptResourceType)
                     : UnregisterScriptResource(&map, widePath, resourceId, kScriptResourceType);
    map.Destroy();
    return hr;
}

HRESULT RegisterScriptResource(ReplacementMap* map, const wchar_t* modulePath, WORD resourceId, const wchar_t* typeName)
{
    return RunNamedResourceScript(map, modulePath, resourceId, typeName, TRUE);
}

HRESULT UnregisterScriptResource(ReplacementMap* map, const wchar_t* modulePath, WORD resourceId,
                                 const wchar_t* typeName)
{
    return RunNamedResourceScript(map, modulePath, resourceId, typeName, FALSE);
}

HRESULT RunResourceScript(ReplacementMap* map, const wchar_t* modulePath, WORD resourceId, const char* typeName,
                          BOOL registering)
{
    // Room for every character of a module path as a double-byte character.
    char path[2 * kNameBufferSize];
    if (WideCharToMultiByte(CP_ACP, 0, modulePath, -1, path, sizeof(path), nullptr, nullptr) == 0)
        return LastErrorResult();

    // The program reads its own file as data, by path.
    UniqueLibrary file(LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!file)
        return LastErrorResult();
    HRSRC found = FindResourceA(file.Get(), MAKEINTRESOURCEA(resourceId), typeName);
    if (found == nullptr)
        return LastErrorResult();
    HGLOBAL loaded = LoadResource(file.Get(), found);
    if (loaded == nullptr)
        return LastErrorResult();
    const DWORD size = SizeofResource(file.Get(), found);
    // On Win32 the loaded resource is its data; the file is mapped read-only.
    const char* bytes = static_cast<const char*>(static_cast<void*>(loaded));

    // A script that carries no zero byte is read from a terminated copy.
    UniqueModuleMemory<char> copy;
    const char* text = bytes;
    if (!HoldsZeroByte(bytes, size)) {
        if (size == MAXDWORD)
            return E_OUTOFMEMORY;
        copy.Reset(static_cast<char*>(ModuleAlloc(size + 1)));
        if (!copy)
            return E_OUTOFMEMORY;
        char* out = copy.Get();
        for (DWORD i = 0; i < size; ++i)
            out[i] = bytes[i];
        out[size] = '\0';
        text = out;
    }

    ScriptEngine engine = {nullptr, map, 0};
    return RunScriptText(&engine, text, registering);
}

HKEY LookupRootKey(const char* name)
{
    for (const RootKey& row : kRootKeyTable) {
        if (lstrcmpiA(name, row.name) == 0)
            return PredefinedKey(row.key);
    }
    return nullptr;
}

// --- The section loop -------------------------------------------------------

namespace {

// Applies every root section of the expanded text in turn; the first
// failure ends the loop with it.
HRESULT RunSections(ScriptEngine* engine, const char* expanded, BOOL registering, BOOL parseOnly)
{
    char token[kTokenBufferSize];
    engine->position = expanded;
    engine->depth = 0;
    while (*engine->position != '\0') {
        RETURN_IF_FAILED(ReadToken(engine, token));
        HKEY root = LookupRootKey(token);
        if (root == nullptr)
            return DISP_E_EXCEPTION;
        RETURN_IF_FAILED(ReadToken(engine, token));
        if (token[0] != '{')
            return DISP_E_EXCEPTION;
        engine->root = root;
        RETURN_IF_FAILED(ApplyBlock(engine, token, root, registering, parseOnly));
        SkipBlanks(engine);
    }
    return S_OK;
}

}  // namespace

HRESULT RunScriptText(ScriptEngine* engine, const char* text, BOOL registering)
{
    char* expandedText;  // ExpandVariables sets it, to null on failure
    RETURN_IF_FAILED(ExpandVariables(engine, text, &expandedText));
    UniqueTaskText expanded(expandedText);
    if (!registering)
        return RunSections(engine, expanded.Get(), FALSE, FALSE);

    // The whole script is read before its first write, so that a malformed
    // one changes nothing.
    RETURN_IF_FAILED(RunSections(engine, expanded.Get(), TRUE, TRUE));
    // A failure while writing puts back what this script changed; a run of
    // several scripts keeps their records in its own journal, to put back
    // the whole run if a later step fails.
    UndoJournal own;
    UndoJournal* journal = ActiveUndoJournal() != nullptr ? ActiveUndoJournal() : &own;
    const DWORD mark = journal->Mark();
    engine->journal = journal;
    const HRESULT hr = RunSections(engine, expanded.Get(), TRUE, FALSE);
    engine->journal = nullptr;
    if (FAILED(hr))
        journal->UndoTo(mark);
    return hr;
}
