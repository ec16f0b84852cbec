// The reading half of the registry-script engine: finding the module path and
// the substitution variables, loading a script resource, substitution, tokens,
// and the section loop that hands each root block to the applying half.
#include "registrar/script_internals.h"

#include "errors.h"
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
HKEY PredefinedKey(DWORD number)
{
    return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(number)));
}

const wchar_t kScriptResourceType[] = L"REGISTRY";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The expanded text lives in task memory, counted in test builds.
using UniqueTaskText = UniqueTaskMemory<char>;

wchar_t* CopyToTaskMemory(const wchar_t* text)
{
    const DWORD length = text == nullptr ? 0 : static_cast<DWORD>(lstrlenW(text));
    wchar_t* copy = static_cast<wchar_t*>(TaskAlloc((static_cast<SIZE_T>(length) + 1) * sizeof(wchar_t)));
    if (copy == nullptr)
        return nullptr;
    for (DWORD i = 0; i < length; ++i)
        copy[i] = text[i];
    copy[length] = L'\0';
    return copy;
}

// Makes room for count more bytes, doubling the capacity as often as needed.
HRESULT Reserve(ExpansionBuffer* buffer, SIZE_T count)
{
    if (count <= buffer->capacity - buffer->length)
        return S_OK;
    SIZE_T capacity = buffer->capacity;
    while (count > capacity - buffer->length) {
        if (capacity > static_cast<SIZE_T>(MAXLONG) / 2)
            return E_OUTOFMEMORY;
        capacity *= 2;
    }
    char* grown = static_cast<char*>(TaskRealloc(buffer->data, capacity));
    if (grown == nullptr)
        return E_OUTOFMEMORY;
    buffer->data = grown;
    buffer->capacity = capacity;
    return S_OK;
}

// Appends count bytes that end on a character boundary.
HRESULT AppendBytes(ExpansionBuffer* buffer, const char* bytes, SIZE_T count)
{
    RETURN_IF_FAILED(Reserve(buffer, count));
    char* out = buffer->data + buffer->length;
    for (SIZE_T i = 0; i < count; ++i)
        out[i] = bytes[i];
    buffer->length += count;
    return S_OK;
}

// Appends a replacement value in ANSI, converted straight into the buffer.
HRESULT AppendValue(ExpansionBuffer* buffer, const wchar_t* value)
{
    const int needed = WideCharToMultiByte(CP_ACP, 0, value, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return LastErrorResult();
    RETURN_IF_FAILED(Reserve(buffer, static_cast<SIZE_T>(needed)));
    const int written = WideCharToMultiByte(CP_ACP, 0, value, -1, buffer->data + buffer->length, needed,
                                            nullptr, nullptr);
    if (written <= 0)
        return LastErrorResult();
    buffer->length += static_cast<SIZE_T>(written) - 1;  // without the terminating zero
    return S_OK;
}

// Copies the character at source to token[held]; returns the new count.
DWORD CopyChar(char* token, DWORD held, const char* source, const char** next)
{
    const char* after = NextChar(source);
    while (source != after)
        token[held++] = *source++;
    *next = after;
    return held;
}

bool HoldsZeroByte(const char* bytes, DWORD size)
{
    for (DWORD i = 0; i < size; ++i) {
        if (bytes[i] == '\0')
            return true;
    }
    return false;
}

HRESULT RunNamedResourceScript(ReplacementMap* map, const wchar_t* modulePath, WORD resourceId,
                               const wchar_t* typeName, BOOL registering)
{
    char type[kNameBufferSize];
    if (WideCharToMultiByte(CP_ACP, 0, typeName, -1, type, sizeof(type), nullptr, nullptr) == 0)
        return LastErrorResult();
    return RunResourceScript(map, modulePath, resourceId, type, registering);
}

}  // namespace

HRESULT LastErrorResult()
{
    const DWORD code = GetLastError();
    return code == ERROR_SUCCESS ? E_FAIL : FoldWin32Error(code);
}

const char* NextChar(const char* text)
{
    const char* next = CharNextA(text);
    return next - text > 1 && text[1] == '\0' ? text + 1 : next;
}

// --- ReplacementMap -------------------------------------------------------

HRESULT ReplacementMap::Create()
{
    count = 0;
    capacity = 0;
    pairs = static_cast<ReplacementPair**>(ModuleAlloc(kInitialReplacementCapacity * sizeof(ReplacementPair*)));
    if (pairs == nullptr)
        return E_OUTOFMEMORY;
    capacity = kInitialReplacementCapacity;
    return S_OK;
}

HRESULT ReplacementMap::Add(const wchar_t* name, const wchar_t* value)
{
    if (count == capacity) {
        if (capacity > MAXLONG / 2 / static_cast<LONG>(sizeof(ReplacementPair*)))
            return E_OUTOFMEMORY;
        const LONG grownCapacity = capacity == 0 ? kInitialReplacementCapacity : capacity * 2;
        void* grown = ModuleRealloc(pairs, static_cast<DWORD>(grownCapacity) * sizeof(ReplacementPair*));
        if (grown == nullptr)
            return E_OUTOFMEMORY;
        pairs = static_cast<ReplacementPair**>(grown);
        capacity = grownCapacity;
    }
    ReplacementPair* pair = ModuleAllocRecord<ReplacementPair>();
    if (pair == nullptr)
        return E_OUTOFMEMORY;
    pair->name = CopyToTaskMemory(name);
    pair->value = pair->name == nullptr ? nullptr : CopyToTaskMemory(value);
    if (pair->value == nullptr) {
        TaskFree(pair->name);
        ModuleFree(pair);
        return E_OUTOFMEMORY;
    }
    pairs[count++] = pair;
    return S_OK;
}

const wchar_t* ReplacementMap::Find(const char* name) const
{
    for (LONG i = 0; i < count; ++i) {
        // A name that does not fit here is longer than any variable a script can write.
        char ansiName[kNameBufferSize];
        if (WideCharToMultiByte(CP_ACP, 0, pairs[i]->name, -1, ansiName, sizeof(ansiName), nullptr, nullptr) == 0)
            continue;
        if (lstrcmpiA(ansiName, name) == 0)
            return pairs[i]->value;
    }
    return nullptr;
}

HRESULT ReplacementMap::Clear()
{
    for (LONG i = 0; i < count; ++i) {
        TaskFree(pairs[i]->name);
        TaskFree(pairs[i]->value);
        ModuleFree(pairs[i]);
    }
    count = 0;
    return S_OK;
}

void ReplacementMap::Destroy()
{
    Clear();
    ModuleFree(pairs);
    pairs = nullptr;
    capacity = 0;
}

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
    bool blank = false;
    for (const wchar_t* c = path; *c != L'\0'; ++c)
        blank = blank || *c == L' ';
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

HRESULT ApplyScriptResource(ServerModule* module, WORD resourceId, BOOL registering,
                            const ScriptVariable* extraPairs)
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

HRESULT RegisterScriptResource(ReplacementMap* map, const wchar_t* modulePath, WORD resourceId,
                               const wchar_t* typeName)
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

// --- Substitution -------------------------------------------------------

namespace {

HRESULT ExpandInto(ScriptEngine* engine, const char* text, ExpansionBuffer* buffer)
{
    const char* p = text;
    while (*p != '\0') {
        if (*p != '%') {
            // A run of whole characters up to the next percent sign.
            const char* run = p;
            do
                p = NextChar(p);
            while (*p != '\0' && *p != '%');
            RETURN_IF_FAILED(AppendBytes(buffer, run, static_cast<SIZE_T>(p - run)));
            continue;
        }
        const char* name = p + 1;
        if (*name == '%') {
            RETURN_IF_FAILED(AppendBytes(buffer, "%", 1));
            p = name + 1;
            continue;
        }
        const char* end = name;
        while (*end != '\0' && *end != '%')
            end = NextChar(end);
        if (*end == '\0')
            return DISP_E_EXCEPTION;
        const SIZE_T nameLength = static_cast<SIZE_T>(end - name);
        if (nameLength > kVariableNameLimit)
            return E_FAIL;
        char variable[kVariableNameLimit + 1];
        for (SIZE_T i = 0; i < nameLength; ++i)
            variable[i] = name[i];
        variable[nameLength] = '\0';
        const wchar_t* value = engine->replacements->Find(variable);
        if (value == nullptr)
            return DISP_E_EXCEPTION;
        // The value goes in once and is never scanned for variables again.
        RETURN_IF_FAILED(AppendValue(buffer, value));
        p = end + 1;
    }
    return AppendBytes(buffer, "", 1);
}

}  // namespace

HRESULT ExpandVariables(ScriptEngine* engine, const char* text, char** expanded)
{
    *expanded = nullptr;
    const SIZE_T textLength = static_cast<SIZE_T>(lstrlenA(text));
    ExpansionBuffer buffer = {0, textLength == 0 ? 1 : 2 * textLength, nullptr};
    buffer.data = static_cast<char*>(TaskAlloc(buffer.capacity));
    if (buffer.data == nullptr)
        return E_OUTOFMEMORY;
    const HRESULT hr = ExpandInto(engine, text, &buffer);
    if (FAILED(hr)) {
        TaskFree(buffer.data);
        return hr;
    }
    *expanded = buffer.data;
    return S_OK;
}

// --- Tokens ---------------------------------------------------------------

void SkipBlanks(ScriptEngine* engine)
{
    const char* p = engine->position;
    while (IsBlank(*p))
        p = NextChar(p);
    engine->position = p;
}

bool IsClosingQuote(const char* position)
{
    return *position == '\'' && *NextChar(position) != '\'';
}

// A lead byte that the text ends on begins a character that is not there.
// Taken into a name, it would reach the registry as a name that nothing but
// the same broken bytes can address again.
bool IncompleteCharacter(const char* p) { return IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] == '\0'; }

HRESULT ReadToken(ScriptEngine* engine, char* token)
{
    token[0] = '\0';
    SkipBlanks(engine);
    const char* p = engine->position;
    if (*p == '\0')
        return DISP_E_EXCEPTION;
    DWORD held = 0;
    if (*p == '\'') {
        p = NextChar(p);
        for (;;) {
            if (*p == '\0') {
                token[0] = '\0';
                return DISP_E_EXCEPTION;
            }
            if (IsClosingQuote(p)) {
                p = NextChar(p);
                break;
            }
            if (*p == '\'')
                p = NextChar(p);  // of two quotes, the second is copied
            if (held >= kTokenLimit) {
                token[0] = '\0';
                return DISP_E_EXCEPTION;
            }
            held = CopyChar(token, held, p, &p);
        }
    } else {
        while (*p != '\0' && !IsBlank(*p)) {
            if (held >= kTokenLimit || IncompleteCharacter(p)) {
                token[0] = '\0';
                return DISP_E_EXCEPTION;
            }
            held = CopyChar(token, held, p, &p);
        }
    }
    token[held] = '\0';
    engine->position = p;
    return S_OK;
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

HRESULT RunScriptText(ScriptEngine* engine, const char* text, BOOL registering)
{
    char* expandedText = nullptr;
    RETURN_IF_FAILED(ExpandVariables(engine, text, &expandedText));
    UniqueTaskText expanded(expandedText);

    char token[kTokenBufferSize];
    engine->position = expanded.Get();
    engine->depth = 0;
    HRESULT hr = S_OK;
    while (*engine->position != '\0') {
        hr = ReadToken(engine, token);
        if (FAILED(hr))
            break;
        HKEY root = LookupRootKey(token);
        if (root == nullptr) {
            hr = DISP_E_EXCEPTION;
            break;
        }
        hr = ReadToken(engine, token);
        if (FAILED(hr))
            break;
        if (token[0] != '{') {
            hr = DISP_E_EXCEPTION;
            break;
        }
        if (registering) {
            const char* blockStart = engine->position;
            hr = ApplyBlock(engine, token, root, TRUE, FALSE);
            if (FAILED(hr)) {
                // Undo what this section wrote; earlier sections stay.
                engine->position = blockStart;
                ApplyBlock(engine, token, root, FALSE, FALSE);
                break;
            }
        } else {
            hr = ApplyBlock(engine, token, root, FALSE, FALSE);
            if (FAILED(hr))
                break;
        }
        SkipBlanks(engine);
    }
    return hr;
}
