// SPDX-License-Identifier: MIT
#include "cut_off.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace zortest {
namespace {

constexpr const char* kTablePrefix = "zorclient_test_";

// Runs nft with `words`; its standard output, or nothing if it failed.
bool nft(const std::vector<std::string>& words, std::string* out = nullptr) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        return false;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeEnds[1], STDOUT_FILENO);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        std::vector<std::string> copy = words;
        copy.insert(copy.begin(), "nft");
        std::vector<char*> argv(copy.size() + 1, nullptr);
        std::transform(copy.begin(), copy.end(), argv.begin(),
                       [](std::string& word) { return word.data(); });
        execvp("nft", argv.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    std::string text;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(pipeEnds[0], buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    close(pipeEnds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (out != nullptr) {
        *out = text;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Tables of test processes that are gone, e.g. killed by a time-out.
void removeOrphanedTables() {
    std::string listing;
    if (!nft({"list", "tables", "inet"}, &listing)) {
        return;
    }
    std::istringstream lines(listing);
    std::string table;
    std::string family;
    std::string name;
    while (lines >> table >> family >> name) {
        if (name.rfind(kTablePrefix, 0) != 0) {
            continue;
        }
        const std::string pid = name.substr(
            std::string(kTablePrefix).size(),
            name.find('_', std::string(kTablePrefix).size()) - std::string(kTablePrefix).size());
        if (!std::filesystem::exists("/proc/" + pid)) {
            nft({"delete", "table", "inet", name});
        }
    }
}

}  // namespace

std::string cutOffUnavailable() {
    if (geteuid() != 0) {
        return "cutting a host off takes an nftables table, which only root may add";
    }
    std::string version;
    if (!nft({"--version"}, &version)) {
        return "nft (Debian package nftables) is not installed";
    }
    return "";
}

CutOff::CutOff(const std::string& host) {
    static std::atomic<int> count{0};
    removeOrphanedTables();
    table_ = kTablePrefix + std::to_string(getpid()) + "_" + std::to_string(++count);
    const bool added = nft({"add", "table", "inet", table_}) &&
                       nft({"add", "chain", "inet", table_, "out", "{", "type", "filter", "hook",
                            "output", "priority", "0", ";", "policy", "accept", ";", "}"}) &&
                       nft({"add", "rule", "inet", table_, "out", "ip", "daddr", host, "tcp",
                            "dport", "9999", "drop"});
    if (!added) {
        restore();
        throw std::runtime_error("nft could not cut " + host + " off");
    }
}

CutOff::~CutOff() {
    restore();
}

void CutOff::restore() {
    if (!table_.empty()) {
        nft({"delete", "table", "inet", table_});
        table_.clear();
    }
}

}  // namespace zortest
