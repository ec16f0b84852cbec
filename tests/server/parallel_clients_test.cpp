// Several client processes at once, each activating the server one time after
// another: every activation succeeds in a server process of its own, and every
// server ends by itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "hosted_component_registration.h"
#include "wine_test_support.h"

using namespace testing_support;

namespace {

int Setting(const char* name, int fallback)
{
    const char* value = std::getenv(name);
    return value != nullptr ? std::atoi(value) : fallback;
}

struct Client {
    HANDLE process = nullptr;
    HANDLE output = nullptr;
    std::string text;
};

Client StartClient(const std::string& commandLine)
{
    Client client;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    CreatePipe(&read, &write, &inherit, 0);
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write;
    startup.hStdError = write;
    PROCESS_INFORMATION info = {};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
        CloseHandle(info.hThread);
        client.process = info.hProcess;
    }
    CloseHandle(write);
    client.output = read;
    return client;
}

std::string LastLine(std::string text)
{
    text.erase(text.find_last_not_of("\r\n") + 1);
    return text.substr(text.find_last_of('\n') + 1);
}

// Appends what the client's pipe holds now, without waiting; true when there was some.
bool ReadAvailable(Client& client)
{
    char buffer[4096];
    DWORD available = 0, read = 0;
    if (!PeekNamedPipe(client.output, nullptr, 0, nullptr, &available, nullptr) || available == 0 ||
        !ReadFile(client.output, buffer, std::min<DWORD>(available, sizeof(buffer)), &read, nullptr))
        return false;
    client.text.append(buffer, read);
    return read > 0;
}

// A client writes a line a round; one that writes none for this long is stuck.
constexpr double kQuietBoundMs = 180000;

// Reads every client's output as it comes until all have ended. A pipe is
// not read to its end: a service of the prefix that a client happened to
// start first inherits its write end and keeps it open for the prefix's life.
// A client that goes quiet for kQuietBoundMs is ended; the text says so.
void Collect(std::vector<Client>& clients)
{
    std::vector<double> heard(clients.size(), NowMs());
    std::vector<bool> ended(clients.size(), false);
    for (size_t left = clients.size(); left > 0;) {
        bool quiet = true;
        for (size_t i = 0; i < clients.size(); ++i) {
            if (ended[i])
                continue;
            Client& client = clients[i];
            if (ReadAvailable(client)) {
                heard[i] = NowMs();
                quiet = false;
                continue;
            }
            if (WaitForSingleObject(client.process, 0) != WAIT_OBJECT_0) {
                if (NowMs() - heard[i] < kQuietBoundMs)
                    continue;
                client.text += "the client wrote nothing for " + std::to_string(int(kQuietBoundMs / 1000)) +
                               " s and was ended (last line: \"" + LastLine(client.text) + "\")\n";
                TerminateProcess(client.process, MAXDWORD);
                WaitForSingleObject(client.process, 5000);
            }
            while (ReadAvailable(client)) {}
            CloseHandle(client.output);
            ended[i] = true;
            --left;
        }
        if (quiet)
            Sleep(50);
    }
}

TEST(ParallelClients, EveryActivationGetsAServerOfItsOwnThatEndsByItself)
{
    const int clients = Setting("KELMO_PARALLEL_CLIENTS", 8);
    const int rounds = Setting("KELMO_PARALLEL_ROUNDS", 10);
    const std::string server = WindowsPath(KELMO7_EXE);
    ASSERT_EQ(0u, RunProcess(server + " /RegServer").exitCode);
    HostedComponentRegistration hosted;
    ASSERT_EQ(S_OK, hosted.result());

    std::vector<Client> running;
    for (int i = 0; i < clients; ++i)
        running.push_back(StartClient(WindowsPath(PARALLEL_CLIENT_EXE) + " " + std::to_string(rounds)));
    for (const Client& client : running)
        ASSERT_NE(nullptr, client.process);
    Collect(running);
    std::set<std::string> servers;
    std::vector<double> delays;
    int activations = 0;
    for (Client& client : running) {
        DWORD failures = 1;
        GetExitCodeProcess(client.process, &failures);
        CloseHandle(client.process);
        EXPECT_EQ(0u, failures) << client.text;
        std::istringstream lines(client.text);
        std::string word, pid, created;
        double delay;
        DWORD exitCode;
        int round;
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            if (!(fields >> word >> round >> word >> pid >> word >> created >> word >> delay >> word >> exitCode))
                continue;  // a failed round, reported by the client's exit code
            ++activations;
            servers.insert(pid + "@" + created);  // ids are reused; with the start time they are not
            delays.push_back(delay);
        }
    }
    EXPECT_EQ(clients * rounds, activations);
    EXPECT_EQ(static_cast<size_t>(clients * rounds), servers.size());
    std::sort(delays.begin(), delays.end());
    if (!delays.empty())
        std::printf("%d activations by %d clients; exit delays: min %.0f ms, median %.0f ms, max %.0f ms\n",
                    activations, clients, delays.front(), delays[delays.size() / 2], delays.back());

    // No server is left behind.
    const std::vector<DWORD> left = ProcessIdsNamed("Kelmo7.exe");
    for (DWORD id : left)
        OwnedProcess stray(id);
    EXPECT_TRUE(left.empty()) << left.size() << " server processes were still running";
    RunProcess(server + " /UnregServer");
}

}  // namespace
