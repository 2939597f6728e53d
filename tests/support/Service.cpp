#include "Service.h"

#include <algorithm>

#include "Wire.h"

namespace service {

const std::string kBin = DODODUZOD_BIN;
const char kNextCheck[] = "[ENGINE] IP address check completed. Next check at ";
const char kStopping[] = "Debug: stopping dododuzod ...";
const std::vector<std::string> kEnv = {"DODODUZOD_RESOLVER=127.0.0.1",
                                       "DODODUZOD_NAMESERVER=127.0.0.1:5353"};

Test::Test() : dir(testproc::MakeTempDir()), conf(dir + "/dododuzod.conf"), log(dir + "/log") {
    EXPECT_TRUE(syslog.ok() && testproc::WriteFile(dir + "/accounts", "alice secret home\n"));
    WriteConf();
}

void Test::WriteConf(const std::string& settings) {
    EXPECT_TRUE(testproc::WriteFile(
        conf, settings + "username alice\npassword secret\nipv4 true\nipv6 true\ndebug true\n"));
}

void Test::StartSim(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {DODODUZOD_SIM, "--accounts", dir + "/accounts"};
    argv.insert(argv.end(), args.begin(), args.end());
    sim = std::make_unique<testproc::Child>(argv);
    ASSERT_TRUE(testproc::WaitUntil([&] { return !SimLines().empty(); }, 5000)) << sim->Err();
    ASSERT_EQ(SimLines()[0], "ready");
}

void Test::StartClient(const std::vector<std::string>& args, const std::vector<std::string>& env,
                       const std::function<void()>& beforeExec) {
    std::vector<std::string> argv = {kBin, "-c", conf}, all = kEnv;
    argv.insert(argv.end(), args.begin(), args.end());
    all.insert(all.end(), env.begin(), env.end());
    client = std::make_unique<testproc::Child>(argv, all, beforeExec);
}

int Test::Stop(int sig) {
    client->Signal(sig);
    const testproc::Result r = client->Wait(5000);
    return r.exited ? r.status : -1;
}

std::vector<std::string> Test::SimLines() const {
    return wire::Lines(sim->Out());
}

std::vector<std::string> Test::Updates() const {
    std::vector<std::string> out;
    for (const std::string& l : SimLines())
        if (l.find(" /nic/clientupdate?") != std::string::npos)
            out.push_back(l);
    return out;
}

size_t Test::CountLog(const std::string& prefix) const {
    const std::vector<std::string> lines = wire::UndatedLines(log);
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& l) {
        return l.compare(0, prefix.size(), prefix) == 0;
    }));
}

bool Test::WaitForLog(const std::string& prefix, size_t count) const {
    return testproc::WaitUntil([&] { return CountLog(prefix) >= count; }, 10000);
}

bool Test::WaitForUpdates(size_t count) const {
    return testproc::WaitUntil([&] { return Updates().size() >= count; }, 20000);
}

int Test::WaitSyslog(const std::string& text, size_t from) const {
    int priority = -1;
    testproc::WaitUntil(
        [&] {
            const std::vector<fakes::SyslogMessage> m = syslog.messages();
            for (size_t i = from; i < m.size() && priority == -1; ++i)
                priority = m[i].text == text ? m[i].priority : -1;
            return priority != -1;
        },
        5000);
    return priority;
}

size_t Test::CountSyslog(const std::string& text, size_t from) const {
    const std::vector<std::string> t = syslog.texts();
    return static_cast<size_t>(
        std::count(t.begin() + static_cast<long>(std::min(from, t.size())), t.end(), text));
}

}  // namespace service
