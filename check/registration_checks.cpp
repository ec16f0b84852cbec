// Checks 1 to 4: what the registry says and whether the files it names are
// there and of the right machine.
#include <windows.h>
#include <ole2.h>

#include <algorithm>

#include "bounded_run.h"
#include "deployment_checks.h"
#include "deployment_reader.h"
#include "guids.h"
#include "platform_rules.h"

namespace check {

namespace {

// The platform's type library marshalers: the one for dual and oleautomation
// interfaces, and the one for dispinterfaces.
constexpr CLSID kTypeLibraryMarshaler = {0x00020424, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr CLSID kDispatchMarshaler = {0x00020420, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

std::string ViewText(int bits) { return std::to_string(bits) + "-bit view"; }

void CheckProgId(Report& report)
{
    const std::wstring key = std::wstring(kKelmoProgId) + L"\\CLSID";
    const StringValue value = ReadString(ClientBits(), key, nullptr);
    CLSID named = {};
    const std::string what = "ProgID " + Ascii(kKelmoProgId);
    if (value.state != ValueState::kPresent) {
        report.Fail(what + ": " + ValueProblem(value), "register the server: Kelmo7.exe /RegServer, elevated",
                    kEntryClassNotRegistered);
    } else if (FAILED(CLSIDFromString(value.text.c_str(), &named)) || !IsEqualCLSID(named, CLSID_Kelmo)) {
        report.Fail(what + " -> " + Ascii(value.text) + ", not " + GuidText(CLSID_Kelmo),
                    "register the server again: Kelmo7.exe /RegServer, elevated", kEntryClassNotRegistered);
    } else {
        report.Pass(what + " (" + value.hive + ") -> " + GuidText(CLSID_Kelmo));
    }
}

// A file named by the registry of view `bits`: it exists and is a PE for
// `expectedBits` (0: either machine of x86 Windows), a DLL or a program.
// Returns its machine's bitness, 0 after a failure.
int CheckFile(Report& report, const std::string& what, const std::wstring& path, int bits, int expectedBits, bool dll,
              const std::string& todo, const char* entry)
{
    report.Begin(what + ": reading " + Ascii(path), entry, kStepBoundMs);
    const PeFile pe = ReadPe(path, bits);
    const std::string file = what + " " + Ascii(path);
    if (FAILED(pe.hr)) {
        report.Fail(file + ": " + HresultText(pe.hr), todo, entry);
        return 0;
    }
    const int machineBits = MachineBits(pe.machine);
    if (machineBits == 0 || pe.dll != dll || (expectedBits != 0 && machineBits != expectedBits)) {
        report.Fail(file + " is a " + (pe.dll ? "DLL" : "program") + " for " + MachineText(pe.machine) +
                        (expectedBits != 0 ? ", not a " + std::to_string(expectedBits) + "-bit " : ", not a ") +
                        (dll ? "DLL" : "program"),
                    todo, entry);
        return 0;
    }
    report.Pass(file + " is a " + (dll ? "DLL" : "program") + " for " + MachineText(pe.machine));
    return machineBits;
}

// What one view's registration of the class starts.
struct ViewServer {
    int bits = 0;  // of the program it starts; 0 when unknown
    std::wstring name;
    std::wstring path;
    DWORD preferredBitness = 0;  // the AppID's PreferredServerBitness; 0 when absent
};

// The AppID and its values that change how and where the server starts.
void CheckAppId(Report& report, const std::string& where, int bits, const std::wstring& classKey, ViewServer* server)
{
    const StringValue appId = ReadString(bits, classKey, L"AppID");
    CLSID named = {};
    const std::wstring appIdKey = L"AppID\\" + GuidKey(APPID_Kelmo7);
    const char* keyHive = "HKLM";
    if (appId.state != ValueState::kPresent || FAILED(CLSIDFromString(appId.text.c_str(), &named)) ||
        !IsEqualGUID(named, APPID_Kelmo7) || !KeyExists(bits, appIdKey, &keyHive)) {
        report.Fail(where + " AppID " +
                        (appId.state == ValueState::kPresent ? "[" + Ascii(appId.text) + "] (" + appId.hive + ")"
                                                             : ValueProblem(appId)) +
                        ", expected " + GuidText(APPID_Kelmo7) + " with its AppID key",
                    "register the server again: Kelmo7.exe /RegServer, elevated", kEntryClassNotRegistered);
        return;
    }
    std::string values;
    const StringValue runAs = ReadString(bits, appIdKey, L"RunAs");
    if (runAs.state == ValueState::kPresent)
        values += "; RunAs [" + Ascii(runAs.text) + "] (" + runAs.hive + "): the server runs as that user";
    const char* hive = "HKLM";
    if (ReadDword(bits, appIdKey, L"PreferredServerBitness", &server->preferredBitness, &hive))
        values += "; PreferredServerBitness " + std::to_string(server->preferredBitness) + " (" + hive + ")";
    const StringValue service = ReadString(bits, appIdKey, L"LocalService");
    const std::string shown = where + " AppID (" + keyHive + ") " + GuidText(APPID_Kelmo7);
    if (service.state == ValueState::kPresent) {
        // A service named here is started instead, and LocalServer32 ignored.
        report.Warn(shown + values + "; LocalService [" + Ascii(service.text) + "] (" + service.hive +
                        "): the platform starts that service, not LocalServer32",
                    "remove LocalService unless that service is this server; then Kelmo7.exe /RegServer, elevated");
        server->bits = 0;
        return;
    }
    report.Pass(shown + (values.empty() ? "; no RunAs, LocalService or PreferredServerBitness" : values));
}

// The class in one view: what would be started, and the file's machine.
ViewServer CheckClassInView(Report& report, int bits, Deployment* deployment)
{
    ViewServer server;
    const std::wstring classKey = L"CLSID\\" + GuidKey(CLSID_Kelmo);
    const std::wstring serverKey = classKey + L"\\LocalServer32";
    const std::string where = "class, " + ViewText(bits) + ":";
    const std::string todo = "register the server again: Kelmo7.exe /RegServer, elevated";
    const StringValue treatAs = ReadString(bits, classKey + L"\\TreatAs", nullptr);
    CLSID other = {};
    if (treatAs.state == ValueState::kPresent && SUCCEEDED(CLSIDFromString(treatAs.text.c_str(), &other)) &&
        !IsEqualCLSID(other, CLSID_Kelmo))
        report.Warn(where + " TreatAs (" + treatAs.hive + ") " + GuidText(other) +
                        ": the platform activates that class instead; the checks below read this class's keys",
                    "remove TreatAs unless the other class is meant to serve");
    if (HasMultiString(bits, serverKey, L"LocalServer32")) {
        // Windows Installer resolves the descriptor at activation, and may
        // repair the product first.
        report.Pass(where + " LocalServer32: advertised, a Windows Installer descriptor");
        deployment->advertised = true;
    }
    // The native service manager expands and starts LocalServer32.
    const StringValue command = ReadString(bits, serverKey, nullptr, NativeBits());
    if (command.state != ValueState::kPresent) {
        if (!deployment->advertised)
            report.Fail(where + " LocalServer32: " + ValueProblem(command), todo, kEntryServerExecFailure);
        CheckAppId(report, where, bits, classKey, &server);
        return server;
    }
    report.Begin(where + " LocalServer32: looking up its program", kEntryServerExecFailure, kStepBoundMs);
    StartedProgram started = ProgramStartedBy(command.text);
    const std::string shown = where + " LocalServer32 (" + command.hive + ") [" + Ascii(command.text) + "]";
    const StringValue executable = ReadString(bits, serverKey, L"ServerExecutable", NativeBits());
    if (executable.state == ValueState::kPresent) {
        // CreateProcess's application name: the program, whatever the
        // command line names; no search and no extension added.
        report.Pass(where + " ServerExecutable (" + executable.hive + ") [" + Ascii(executable.text) +
                    "]: started with the default value as its command line");
        started.program = executable.text;
        started.problem.clear();
        started.ambiguous = false;
    } else if (!started.problem.empty()) {
        report.Fail(shown + ": " + started.problem, todo, kEntryServerExecFailure);
        CheckAppId(report, where, bits, classKey, &server);
        return server;
    } else if (started.ambiguous) {
        report.Warn(shown + ": unquoted with a blank, starts " + Ascii(started.program),
                    "quote the program's path, or another program on the way may be started; " + todo);
    } else {
        report.Pass(shown + (started.quoted ? ", quoted" : ", no quotes needed"));
    }
    server.bits = CheckFile(report, where + " server", started.program, NativeBits(), 0, false,
                            "reinstall, or run Kelmo7.exe /RegServer where the file now is", kEntryServerExecFailure);
    server.name = FileNameOf(started.program);
    server.path = started.program;
    CheckAppId(report, where, bits, classKey, &server);
    return server;
}

void CheckComponent(Report& report, int serverBits, const std::wstring& serverPath)
{
    const std::wstring key = L"CLSID\\" + GuidKey(CLSID_HostedComponent) + L"\\InprocServer32";
    const std::string where =
        "component " + GuidText(CLSID_HostedComponent) + ", server's " + ViewText(serverBits) + ":";
    const char* const todo = "install the component with its own installer, as a DLL of the server's bitness";
    const StringValue path = ReadString(serverBits, key, nullptr);
    if (path.state != ValueState::kPresent) {
        report.Fail(where + " InprocServer32: " + ValueProblem(path), todo, kEntryComponent);
        return;
    }
    // A name without a folder is searched as the server's LoadLibrary does.
    const std::wstring file = LibraryLoadedBy(path.text, serverBits, serverPath);
    const std::string loadedAs = file == path.text ? "" : " [" + Ascii(path.text) + "], loaded as";
    CheckFile(report, where + " InprocServer32 (" + path.hive + ")" + loadedAs, file, serverBits, serverBits, true,
              todo, kEntryComponent);
    const StringValue model = ReadString(serverBits, key, L"ThreadingModel");
    // A value that is not a string is one COM cannot read: as if absent.
    const bool named = model.state == ValueState::kPresent;
    const ComponentApartment apartment = ApartmentOfModel(named ? &model.text : nullptr);
    const std::string shown =
        named ? "ThreadingModel " + Ascii(model.text)
              : "ThreadingModel " + (model.state == ValueState::kNoValue ? std::string("absent")
                                                                         : ValueProblem(model) + ", read as absent");
    if (AggregatesInMainApartment(apartment)) {
        report.Pass(where + " " + shown + ": made in the server's main apartment, aggregatable");
    } else {
        report.Fail(where + " " + shown + ": made in the " +
                        (apartment == ComponentApartment::kFree ? "multithreaded" : "neutral") +
                        " apartment, which refuses the single-threaded server's aggregation (CLASS_E_NOAGGREGATION)",
                    "ask the component's vendor for a component marked Apartment or Both", kEntryComponent);
    }
}

// The platform key of a type library entry that a process of `bits` loads.
const wchar_t* PlatformOf(int bits) { return bits == 64 ? L"win64" : L"win32"; }

// The library entry that the type library marshaler loads in a process of
// `bits`, read in that process's view: win64, or win32 when a 64-bit process
// finds no win64 entry; a 32-bit process reads win32 and nothing else.
void CheckTypeLibrary(Report& report, const std::string& where, int bits, const std::wstring& interfaceKey,
                      const IID& iid, const std::string& todo, const char* entry)
{
    const StringValue libraryId = ReadString(bits, interfaceKey + L"\\TypeLib", nullptr);
    const StringValue version = ReadString(bits, interfaceKey + L"\\TypeLib", L"Version");
    GUID library = {};
    if (libraryId.state != ValueState::kPresent || version.state != ValueState::kPresent ||
        FAILED(CLSIDFromString(libraryId.text.c_str(), &library))) {
        report.Fail(where + " TypeLib: " + ValueProblem(libraryId.state == ValueState::kPresent ? version : libraryId),
                    todo, entry);
        return;
    }
    // The registered version that LoadRegTypeLib takes for the one asked.
    const std::wstring libraryKey = L"TypeLib\\" + libraryId.text;
    const std::wstring serving = LibraryVersionServing(SubkeyNames(bits, libraryKey), version.text);
    if (serving.empty()) {
        report.Fail(where + " library " + Ascii(libraryId.text) + ": no version " + Ascii(version.text) +
                        " or a later minor version of it",
                    todo, entry);
        return;
    }
    const std::wstring base = libraryKey + L"\\" + serving + L"\\0\\";
    StringValue path = ReadString(bits, base + PlatformOf(bits), nullptr);
    const std::string libraryText = where + " library " + Ascii(libraryId.text) + " " + Ascii(serving) +
                                    (serving == version.text ? "" : " (for " + Ascii(version.text) + ")");
    std::string what = libraryText + " " + Ascii(PlatformOf(bits));
    if (path.state != ValueState::kPresent && bits == 64) {
        // Under Wine a 64-bit process fell back to the win32 entry.
        path = ReadString(bits, base + L"win32", nullptr);
        what = libraryText + " win32 (no win64 entry; a 64-bit process falls back to win32)";
        if (path.state == ValueState::kNoKey)
            what = libraryText + " win64";
    }
    if (path.state != ValueState::kPresent) {
        report.Fail(what + ": " + (path.state == ValueState::kNoKey ? "no entry" : ValueProblem(path)), todo, entry);
        return;
    }
    ITypeLib* typeLibrary = nullptr;
    ITypeInfo* info = nullptr;
    report.Begin(what + ": loading " + Ascii(path.text), entry, kStepBoundMs);
    HRESULT hr = LoadTypeLibEx(PathSeenBy(path.text, bits).c_str(), REGKIND_NONE, &typeLibrary);
    if (SUCCEEDED(hr))
        hr = ITypeLib_GetTypeInfoOfGuid(typeLibrary, iid, &info);
    if (info != nullptr)
        ITypeInfo_Release(info);
    if (typeLibrary != nullptr)
        ITypeLib_Release(typeLibrary);
    if (FAILED(hr))
        report.Fail(what + " " + Ascii(path.text) + ": " + HresultText(hr), todo, entry);
    else
        report.Pass(what + " (" + path.hive + ") " + Ascii(path.text) + " loads and describes the interface");
}

// One end of an interface's marshaling: what a process of `bits` finds in
// its own view, the proxy in the client, the stub in the server.
void CheckMarshalingEnd(Report& report, const std::string& where, int bits, const IID& iid, const std::string& todo,
                        const char* entry)
{
    const std::wstring key = L"Interface\\" + GuidKey(iid);
    const StringValue proxy = ReadString(bits, key + L"\\ProxyStubClsid32", nullptr);
    CLSID proxyClass = {};
    if (proxy.state != ValueState::kPresent) {
        report.Fail(where + " ProxyStubClsid32: " + ValueProblem(proxy), todo, entry);
        return;
    }
    if (FAILED(CLSIDFromString(proxy.text.c_str(), &proxyClass))) {
        report.Fail(where + " ProxyStubClsid32 [" + Ascii(proxy.text) + "]: not a GUID", todo, entry);
        return;
    }
    const bool typeLibrary =
        IsEqualCLSID(proxyClass, kTypeLibraryMarshaler) || IsEqualCLSID(proxyClass, kDispatchMarshaler);
    report.Pass(where + " ProxyStubClsid32 (" + proxy.hive + ") " + Ascii(proxy.text) +
                (typeLibrary ? " (type library marshaler)" : ""));
    if (typeLibrary) {
        CheckTypeLibrary(report, where, bits, key, iid, todo, entry);
        return;
    }
    const StringValue path = ReadString(bits, L"CLSID\\" + proxy.text + L"\\InprocServer32", nullptr);
    if (path.state != ValueState::kPresent)
        report.Fail(where + " proxy/stub InprocServer32: " + ValueProblem(path), todo, entry);
    else
        CheckFile(report, where + " proxy/stub", path.text, bits, bits, true, todo, entry);
}

// Both ends of a call across the process boundary: the client's proxy and
// the server's stub, each from the view of its own process's bitness.
void CheckMarshaling(Report& report, const char* name, const IID& iid, int serverBits, const std::string& todo,
                     const char* entry)
{
    const std::string interfaceText = std::string(name) + " " + GuidText(iid) + ", ";
    if (serverBits == 0 || serverBits == ClientBits()) {
        CheckMarshalingEnd(report, interfaceText + "client's and server's " + ViewText(ClientBits()) + ":",
                           ClientBits(), iid, todo, entry);
        return;
    }
    CheckMarshalingEnd(report, interfaceText + "client's " + ViewText(ClientBits()) + ":", ClientBits(), iid, todo,
                       entry);
    CheckMarshalingEnd(report, interfaceText + "server's " + ViewText(serverBits) + ":", serverBits, iid, todo, entry);
}

}  // namespace

Deployment CheckRegistration(Report& report)
{
    Deployment deployment;
    report.Begin("reading the registry", kEntryNoAnswer, kStepBoundMs);
    CheckProgId(report);

    const std::wstring classKey = L"CLSID\\" + GuidKey(CLSID_Kelmo);
    std::vector<int> registered;
    std::string views;
    for (int bits : MachineViews()) {
        const bool there = KeyExists(bits, classKey);
        views += (views.empty() ? "" : ", ") + std::string(there ? "" : "not ") + "in the " + ViewText(bits);
        if (there)
            registered.push_back(bits);
    }
    if (registered.empty())
        report.Fail("class " + GuidText(CLSID_Kelmo) + ": " + views,
                    "register the server: Kelmo7.exe /RegServer, elevated", kEntryClassNotRegistered);
    else
        report.Pass("class " + GuidText(CLSID_Kelmo) + ": " + views);
    ViewServer servers[2];
    DWORD preferred = 0;
    for (int bits : registered) {
        servers[bits / 64] = CheckClassInView(report, bits, &deployment);
        if (bits == ClientBits() || preferred == 0)
            preferred = servers[bits / 64].preferredBitness;
    }
    const bool in32 = std::find(registered.begin(), registered.end(), 32) != registered.end();
    const bool in64 = std::find(registered.begin(), registered.end(), 64) != registered.end();
    const int view = ServerViewOf(static_cast<int>(preferred), ClientBits(), in32, in64);
    if (view != 0 && servers[view / 64].bits != 0) {
        // LocalServer32 may name a server of either bitness; that server
        // reads its component and its stubs in its own view.
        deployment.serverBits = servers[view / 64].bits;
        deployment.serverName = servers[view / 64].name;
        deployment.serverPath = servers[view / 64].path;
        if (registered.size() > 1 || view != ClientBits() || deployment.serverBits != view)
            report.Note("the activation uses the " + ViewText(view) + "'s registration, which starts a " +
                        std::to_string(deployment.serverBits) + "-bit server");
    }

    if (deployment.serverBits != 0)
        CheckComponent(report, deployment.serverBits, deployment.serverPath);
    CheckMarshaling(report, "the component's interface", IID_IHostedComponent, deployment.serverBits,
                    "the component's vendor registers its type library or proxy/stub for the bitness of each end",
                    kEntryNoInterface);
    CheckMarshaling(report, "IKelmo", IID_IKelmo, deployment.serverBits,
                    "register the server again: Kelmo7.exe /RegServer, elevated", kEntryKelmoInterface);
    return deployment;
}

}  // namespace check
