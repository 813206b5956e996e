// Three simulated bhyve hosts, each with its own halvorn in private pid and
// mount namespaces, watched as a fleet by the real node_exporter, Prometheus
// and Alertmanager from Debian's packages, every server on 127.0.0.1.
#include <chrono>
#include <csignal>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <sys/prctl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "child_process.h"
#include "e2e_process.h"
#include "loopback_http.h"
#include "read_text.h"
#include "run_program.h"
#include "temp_dir.h"

using nlohmann::json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Runs as the first process of a host's namespaces, with a /run of its own:
// starts the simulated host, then becomes halvorn, so a signal to it from
// here stops the daemon and, as it ends, everything else in there.
constexpr const char* host_script = R"(
mount -t tmpfs -o mode=0755 tmpfs /run || exit 1
sim=$1 halvorn=$2 dir=$3
shift 3
"$sim" run --burst-secs 1 --class1-limit 30 --class2-limit 25 "$@" >"$dir/vmmsim.log" 2>&1 &
i=0
until grep -q '^ready' "$dir/vmmsim.log"; do
    [ "$i" -lt 150 ] || exit 1
    sleep 0.1
    i=$((i + 1))
done
exec "$halvorn" -c "$dir/halvorn.config"
)";

// The miner is judged within seconds: ticks of half a second, a burst of one.
std::string halvorn_config(const std::string& metrics_file)
{
    return "[COMMON]\nUpdateTime = 500\nAveragingTime = 10\nMetricsFile = " + metrics_file +
           "\n[RATE_LIMIT]\nMinCpuIdleLevel = 5\nMaxCpuIdleLevel = 95\n"
           "[VCPU_CLASS]\nCpuIdleLevel = 99\nVCPU = 2\nOverloadBound = 60\n";
}

struct Host {
    std::string name;  // its instance label
    std::string dir;
    std::unique_ptr<ChildProcess> unshare;  // parent of the namespaces' first process
    pid_t daemon = -1;                      // halvorn, that first process, as seen from here
    std::string metrics() const { return dir + "/textfile/halvorn.prom"; }
};

using Samples = std::map<std::string, std::string>;

struct Server {
    std::string name;
    std::string log;
    std::unique_ptr<ChildProcess> process;
};

bool eventually(Clock::duration limit, const std::function<bool()>& condition)
{
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(250ms);
    }
    return true;
}

// Whatever the test starts goes with it, should the test itself be killed.
bool die_with_test() { return prctl(PR_SET_PDEATHSIG, SIGKILL) == 0; }

// The single process the kernel lists as `parent`'s child, or -1.
pid_t only_child(pid_t parent)
{
    const std::string path =
        "/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children";
    const std::string children = read_text(path);
    return children.empty() ? -1 : std::stoi(children);
}

}  // namespace

class FleetTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (HasFailure())
            show_logs();
        for (Server& server : servers)
            server.process->stop(5s);
        // The namespace ends with its first process; the unshare that waits
        // for it ends after.
        for (Host& host : hosts) {
            if (host.daemon > 0)
                kill(host.daemon, SIGKILL);
            host.unshare->wait(20);
        }
    }

    void show_logs()
    {
        std::vector<std::pair<std::string, std::string>> logs;
        for (const Host& host : hosts) {
            logs.emplace_back(host.name + " halvorn", host.dir + "/halvorn.log");
            logs.emplace_back(host.name + " vmmsim", host.dir + "/vmmsim.log");
        }
        for (const Server& server : servers)
            logs.emplace_back(server.name, server.log);
        for (const auto& [name, path] : logs) {
            const std::string text = read_text(path);
            std::cout << "==== " << name << " (" << path << ")\n"
                      << (text.size() > 6000 ? "...\n" + text.substr(text.size() - 6000) : text) << "\n";
        }
        std::cout << "==== receiver\n";
        for (const std::string& body : receiver.bodies())
            std::cout << body << "\n";
    }

    void start_host(const std::string& name, const std::vector<std::string>& vms)
    {
        Host host{name, dir.file(name), nullptr};
        mkdir(host.dir.c_str(), 0755);
        mkdir((host.dir + "/textfile").c_str(), 0755);
        write_file(host.dir + "/halvorn.config", halvorn_config(host.metrics()));
        std::vector<std::string> argv{"/usr/bin/unshare", "--pid",     "--fork",        "--kill-child",
                                      "--mount-proc",     "--mount",   "--propagation", "private",
                                      "/bin/sh",          "-c",        host_script,     "host",
                                      VMMSIM_EXE,         HALVORN_EXE, host.dir};
        argv.insert(argv.end(), vms.begin(), vms.end());
        host.unshare = std::make_unique<ChildProcess>(
            argv,
            ChildProcess::Options{.env = {"LD_LIBRARY_PATH=" SIM_LIB_DIR, "VMMSIM_ROOT=" + host.dir + "/vmm"},
                                  .stdout_path = host.dir + "/halvorn.log",
                                  .in_child = die_with_test});
        ASSERT_TRUE(eventually(5s, [&] { return (host.daemon = only_child(host.unshare->pid())) > 0; }))
            << name;
        hosts.push_back(std::move(host));
    }

    // Starts a server and waits until `ready_path` on `port` answers 200.
    void start_server(const std::string& name, const std::vector<std::string>& argv, int port,
                      const std::string& ready_path)
    {
        Server server{
            name, dir.file(name + ".log"),
            std::make_unique<ChildProcess>(argv, ChildProcess::Options{.stdout_path = dir.file(name + ".log"),
                                                                       .in_child = die_with_test})};
        ChildProcess& process = *server.process;
        servers.push_back(std::move(server));
        ASSERT_TRUE(
            eventually(20s, [&] { return !process.running() || http_get(port, ready_path).status == 200; }) &&
            process.running())
            << name << " did not come up on 127.0.0.1:" << port;
    }

    void start_monitoring()
    {
        std::string targets;
        for (const Host& host : hosts) {
            const int port = free_loopback_port();
            targets += "      - targets: ['127.0.0.1:" + std::to_string(port) +
                       "']\n        labels: {instance: " + host.name + "}\n";
            start_server(host.name + "-node-exporter",
                         {"/usr/bin/prometheus-node-exporter",
                          "--web.listen-address=127.0.0.1:" + std::to_string(port),
                          "--collector.disable-defaults", "--collector.textfile",
                          "--collector.textfile.directory=" + host.dir + "/textfile"},
                         port, "/metrics");
        }

        const int alertmanager_port = free_loopback_port();
        write_file(dir.file("alertmanager.yml"),
                   "route:\n  receiver: test\n  group_by: ['...']\n  group_wait: 1s\n  group_interval: 1s\n"
                   "  repeat_interval: 1h\nreceivers:\n  - name: test\n    webhook_configs:\n"
                   "      - url: 'http://127.0.0.1:" +
                       std::to_string(receiver.port()) + "/'\n        send_resolved: true\n");
        start_server("alertmanager",
                     {"/usr/bin/prometheus-alertmanager", "--config.file=" + dir.file("alertmanager.yml"),
                      "--storage.path=" + dir.file("alertmanager-data"),
                      "--web.listen-address=127.0.0.1:" + std::to_string(alertmanager_port),
                      "--cluster.listen-address="},
                     alertmanager_port, "/-/ready");

        // The shipped rules, their waits cut to seconds and their windows of
        // an hour (the class-2 alert's among them) to 15 s: the unit tests
        // pin the real ones.
        const std::string waits_cut =
            std::regex_replace(read_text(HALVORN_RULES), std::regex(R"(\bfor: \w+)"), "for: 2s");
        write_file(dir.file("halvorn.rules.yml"),
                   std::regex_replace(waits_cut, std::regex(R"(\[1h\])"), "[15s]"));
        prometheus_port = free_loopback_port();
        write_file(
            dir.file("prometheus.yml"),
            "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\nrule_files: ['" +
                dir.file("halvorn.rules.yml") +
                "']\nalerting:\n  alertmanagers:\n    - static_configs:\n        - targets: ['127.0.0.1:" +
                std::to_string(alertmanager_port) + "']\nscrape_configs:\n  - job_name: node\n" +
                "    static_configs:\n" + targets);
        start_server("prometheus",
                     {"/usr/bin/prometheus", "--config.file=" + dir.file("prometheus.yml"),
                      "--storage.tsdb.path=" + dir.file("prometheus-data"),
                      "--web.listen-address=127.0.0.1:" + std::to_string(prometheus_port)},
                     prometheus_port, "/-/ready");
    }

    // The result of an instant query, an empty array when there is none.
    json query(const std::string& promql)
    {
        const HttpReply reply = http_get(prometheus_port, "/api/v1/query?query=" + url_encoded(promql));
        const json answer = json::parse(reply.body, nullptr, false);
        if (reply.status != 200 || !answer.is_object())
            return json::array();
        return answer.value("data", json::object()).value("result", json::array());
    }
    // The query's values by the named labels' values, joined with '/'.
    Samples samples(const std::string& promql, const std::vector<std::string>& labels)
    {
        Samples out;
        for (const json& series : query(promql)) {
            std::string key;
            for (const std::string& label : labels)
                key += (key.empty() ? "" : "/") + series["metric"].value(label, "");
            out[key] = series["value"][1].get<std::string>();
        }
        return out;
    }

    // The notifications, as the receiver got them, that hold an alert
    // `alertname` in `status` whose labels include `labels`.
    std::vector<std::string> received(const std::string& alertname, const std::string& status,
                                      const json& labels = json::object())
    {
        json wanted = labels;
        wanted["alertname"] = alertname;
        std::vector<std::string> found;
        for (const std::string& body : receiver.bodies()) {
            const json notification = json::parse(body, nullptr, false);
            for (const json& alert : notification.is_object() ? notification["alerts"] : json::array()) {
                bool match = alert.value("status", "") == status;
                for (const auto& [name, value] : wanted.items())
                    match = match && alert["labels"].value(name, "") == value;
                if (match) {
                    found.push_back(body);
                    break;
                }
            }
        }
        return found;
    }

    static void write_file(const std::string& path, const std::string& text)
    {
        std::ofstream(path, std::ios::binary) << text;
    }

    TempDir dir;
    WebhookReceiver receiver;
    std::vector<Host> hosts;
    std::vector<Server> servers;
    int prometheus_port = 0;
};

TEST_F(FleetTest, AlertsReachTheReceiverForTheRightHostAndVm)
{
    const auto started = Clock::now();
    ASSERT_NO_FATAL_FAILURE(start_host("bhyve-a", {"--vm", "miner:2:100", "--vm", "web-a:2:5"}));
    ASSERT_NO_FATAL_FAILURE(start_host("bhyve-b", {"--vm", "web-b:2:5", "--vm", "db-b:2:5"}));
    ASSERT_NO_FATAL_FAILURE(start_host("bhyve-c", {"--vm", "web-c:2:5"}));
    // node_exporter comes once every halvorn has written its file, so no host
    // looks stopped at the start.
    for (Host& host : hosts)
        ASSERT_TRUE(wait_for_text(host.metrics(), "halvorn_vm_class{", 30, host.unshare.get())) << host.name;
    ASSERT_NO_FATAL_FAILURE(start_monitoring());

    // Every VM of the fleet is seen, and the miner alone is in class 2.
    const Samples classes = {{"bhyve-a/miner", "2"},
                             {"bhyve-a/web-a", "1"},
                             {"bhyve-b/web-b", "1"},
                             {"bhyve-b/db-b", "1"},
                             {"bhyve-c/web-c", "1"}};
    Samples seen;
    ASSERT_TRUE(eventually(60s, [&] {
        return (seen = samples("halvorn_vm_class", {"instance", "vm"})) == classes;
    })) << ::testing::PrintToString(seen);
    const Samples per_host = {{"bhyve-a", "1"}, {"bhyve-b", "0"}, {"bhyve-c", "0"}};
    EXPECT_TRUE(eventually(10s, [&] {
        return (seen = samples("instance:halvorn_vms_in_class_2:count", {"instance"})) == per_host;
    })) << ::testing::PrintToString(seen);

    // The class-2 alert reaches the receiver with the host and the VM.
    const json miner_labels = {{"instance", "bhyve-a"}, {"vm", "miner"}};
    ASSERT_TRUE(
        eventually(30s, [&] { return !received("HalvornVmHeldInClass2", "firing", miner_labels).empty(); }));
    const std::string held = received("HalvornVmHeldInClass2", "firing", miner_labels).front();
    std::cout << "The receiver got: " << held << "\n";
    EXPECT_EQ(json::parse(held)["alerts"][0]["annotations"].value("summary", ""),
              "VM miner on bhyve-a held in class 2 as MINER for 1 h");
    EXPECT_EQ(received("HalvornVmHeldInClass2", "firing").size(),
              received("HalvornVmHeldInClass2", "firing", miner_labels).size());

    // A stopped halvorn takes its metrics with it, and its host alone is
    // reported not ticking.
    Host& stopped = hosts.back();
    kill(stopped.daemon, SIGTERM);
    EXPECT_EQ(stopped.unshare->wait(20), 0) << read_text(stopped.dir + "/halvorn.log");
    stopped.daemon = -1;
    struct stat st {};
    EXPECT_NE(stat(stopped.metrics().c_str(), &st), 0) << "the metrics file outlived halvorn";
    ASSERT_TRUE(eventually(30s, [&] { return !received("HalvornNotTicking", "firing").empty(); }));
    EXPECT_EQ(received("HalvornNotTicking", "firing").size(),
              received("HalvornNotTicking", "firing", {{"instance", "bhyve-c"}}).size());
    const json not_ticking = query(R"(ALERTS{alertname="HalvornNotTicking"})");
    ASSERT_EQ(not_ticking.size(), 1u) << not_ticking;
    EXPECT_EQ(not_ticking[0]["metric"].value("instance", ""), "bhyve-c");

    // Once calm, the miner is NORMAL again, back in class 1, and its alert
    // resolves.
    const ProgramResult calm =
        run_program(VMMSIM_EXE, {"vmmsim", "demand", "miner", "5"},
                    {.env = environment_with({"VMMSIM_ROOT=" + hosts.front().dir + "/vmm"})});
    ASSERT_EQ(calm.status, 0) << calm.out << calm.err;
    ASSERT_TRUE(eventually(
        40s, [&] { return !received("HalvornVmHeldInClass2", "resolved", miner_labels).empty(); }));
    EXPECT_EQ(query(R"(halvorn_vm_class{vm="miner"} == 1)").size(), 1u);

    std::cout << "The fleet case took "
              << std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started).count() << " s\n";
}
