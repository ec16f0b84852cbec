// The client of tests/troubleshooting/troubleshooting_check.sh: activates the
// class out of process as a deployer's client would and prints, one line a
// step, the HRESULT that step gave; it stops at the first failure.
//   troubleshooting_client reach   activation, the component's interface
//                                  through the host, one call
//   troubleshooting_client gone    the same, but the server is ended from
//                                  outside before the call, as a crash would
// A server that is still running when the client is done is ended. Exits 0
// once every line is printed.
#include <windows.h>
#include <ole2.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "KelmoHosted.h"
#include "guids.h"
#include "wine_test_support.h"

using namespace testing_support;

namespace {

HRESULT Report(const char* step, HRESULT hr)
{
    std::printf("%s 0x%08lX\n", step, static_cast<unsigned long>(hr));
    return hr;
}

int Run(bool endServerFirst)
{
    if (FAILED(CoInitialize(nullptr)))
        return 1;
    const std::vector<DWORD> before = ProcessIdsNamed("Kelmo7.exe");
    IUnknown* host = nullptr;
    IKelmoHosted* hosted = nullptr;
    if (SUCCEEDED(Report("activation", CoCreateInstance(CLSID_Kelmo, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                                        reinterpret_cast<void**>(&host))))) {
        OwnedProcess server(WaitForNewProcess("Kelmo7.exe", before, 10000));
        if (SUCCEEDED(Report("component",
                             IUnknown_QueryInterface(host, IID_IKelmoHosted, reinterpret_cast<void**>(&hosted))))) {
            if (endServerFirst && server.valid()) {
                HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, server.id());
                if (process != nullptr) {
                    TerminateProcess(process, 3);
                    WaitForSingleObject(process, 10000);
                    CloseHandle(process);
                }
            }
            LONG sum = 0;
            Report("call", IKelmoHosted_Add(hosted, 40, 2, &sum));
            IKelmoHosted_Release(hosted);
        }
        IUnknown_Release(host);
        DWORD exitCode = 0;
        std::printf("server %s\n",
                    server.WaitForExit(5000, &exitCode) ? "ended" : "still running, ended by the client");
    }
    CoUninitialize();
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 2 && (std::strcmp(argv[1], "reach") == 0 || std::strcmp(argv[1], "gone") == 0))
        return Run(std::strcmp(argv[1], "gone") == 0);
    std::fprintf(stderr, "usage: troubleshooting_client reach|gone\n");
    return 2;
}
