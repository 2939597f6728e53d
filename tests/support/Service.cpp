#include "Service.h"

#include <algorithm>

#include "Wire.h"

namespace service {

const std::string kBin = DODODUZOD_BIN;
const char kNextCheck[] = "[ENGINE] IP address check completed. Next check at ";
const char kStopping[] = "Debug: stopping dododuzod ...";
const Lines kEnv = {"DODODUZOD_RESOLVER=127.0.0.1", "DODODUZOD_NAMESERVER=127.0.0.1:5353"};

Test::Test() : dir(testproc::MakeTempDir()), conf(dir + "/dododuzod.conf"), log(dir + "/log") {
    EXPECT_TRUE(syslog.ok() && testproc::WriteFile(dir + "/accounts", "alice secret home\n"));
    WriteConf();
}

void Test::WriteConf(const std::string& settings) {
    EXPECT_TRUE(testproc::WriteFile(
        conf, settings + "username alice\npassword secret\nipv4 true\nipv6 true\ndebug true\n"));
}

void Test::StartSim(const Lines& args) {
    std::vector<std::string> argv = {DODODUZOD_SIM, "--accounts", dir + "/accounts"};
    argv.insert(argv.end(), args.begin(), args.end());
    sim = std::make_unique<testproc::Child>(argv);
    ASSERT_TRUE(testproc::WaitUntil([&] { return !SimLines().empty(); }, 5000)) << sim->Err();
    ASSERT_EQ(SimLines()[0], "ready");
}

void Test::StartClient(const Lines& args, const Lines& env,
                       const std::function<void()>& beforeExec) {
    Lines argv = wrapper, all = kEnv;
    argv.insert(argv.end(), {kBin, "-c", conf});
    argv.insert(argv.end(), args.begin(), args.end());
    all.insert(all.end(), env.begin(), env.end());
    client = std::make_unique<testproc::Child>(argv, all, beforeExec);
}

testproc::Result Test::Stop(int sig, int timeoutMs) {
    client->Signal(sig);
    return client->Wait(timeoutMs);
}

Lines Test::SimLines() const {
    return wire::Lines(sim->Out());
}

Lines Test::Updates() const {
    Lines out;
    for (const std::string& l : SimLines())
        if (l.find(" /nic/clientupdate?") != std::string::npos)
            out.push_back(l);
    return out;
}

size_t Test::CountLog(const std::string& prefix) const {
    const Lines lines = wire::UndatedLines(log);
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& l) {
        return l.compare(0, prefix.size(), prefix) == 0;
    }));
}

bool Test::WaitForLog(const std::string& prefix, size_t count, int timeoutMs) const {
    return testproc::WaitUntil([&] { return CountLog(prefix) >= count; }, timeoutMs);
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

Lines Test::SyslogSince(size_t from) const {
    const Lines t = syslog.texts();
    return Lines(t.begin() + static_cast<long>(std::min(from, t.size())), t.end());
}

}  // namespace service
