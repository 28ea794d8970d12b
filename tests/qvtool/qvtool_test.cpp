// qvtool's commands in-process: their text, their usage errors, the serial
// session against a simulated port, and the discovery commands against
// simulated hosts, devices and radios. No probe or packet leaves the process.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "quorvel/quorvel.h"
#include "tests/bluetooth/bth_fixture.h"
#include "tests/qvtool/tool_run.h"
#include "tests/support/wait_until.h"
#include "sim/sim_devices.h"
#include "sim/sim_hosts.h"
#include "sim/sim_serial.h"
#include "tools/qvtool/commands.h"

using qvtest::RunTool;
using qvtest::ToolRun;

namespace {

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
    return bytes;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(QvtoolText, ErrorsAndAddressesReadAsAPersonMeansThem) {
    // Windows Sockets codes carry their name, whatever the system's texts.
    EXPECT_EQ("error 10048 (WSAEADDRINUSE: address already in use)", qvtool::ErrorText(10048));
    for (unsigned long code : {10049ul, 10060ul, 10065ul, 10093ul, 11001ul}) {
        std::string text = qvtool::ErrorText(code);
        EXPECT_TRUE(Contains(text, "(WSA")) << text;
        EXPECT_FALSE(Contains(text, "unknown")) << text;
    }
    // So do the common Windows errors.
    EXPECT_EQ("error 2 (ERROR_FILE_NOT_FOUND: file not found)", qvtool::ErrorText(2));
    EXPECT_EQ("error 50 (ERROR_NOT_SUPPORTED: not supported)", qvtool::ErrorText(50));
    EXPECT_EQ(0u, qvtool::ErrorText(0x20000001).find("error 536870913 ("));

    // Only four plain decimal octets: the system reads the short and octal
    // forms as other addresses.
    for (const char* good : {"127.0.0.1", "0.0.0.0", "255.255.255.255", "10.0.100.9"}) {
        EXPECT_TRUE(qvtool::IsDottedQuad(good)) << good;
    }
    for (const char* bad : {"1.2.3", "010.0.0.1", "256.1.1.1", "1.2.3.4.", " 1.2.3.4", "1.2.3.4 ",
                            "localhost", "", "1..2.3", "1.2.3.1000", "+1.2.3.4"}) {
        EXPECT_FALSE(qvtool::IsDottedQuad(bad)) << bad;
    }
    std::string address;
    unsigned long port = 99;
    ASSERT_TRUE(qvtool::ParseAddressPort("127.0.0.1:5000", &address, &port));
    EXPECT_EQ("127.0.0.1", address);
    EXPECT_EQ(5000u, port);
    ASSERT_TRUE(qvtool::ParseAddressPort("127.0.0.1", &address, &port));
    EXPECT_EQ(0u, port);
    for (const char* bad : {"127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:", "127.0.0.1:+80",
                            "127.0.0.1: 80", "1.2.3:80"}) {
        EXPECT_FALSE(qvtool::ParseAddressPort(bad, &address, &port)) << bad;
    }

    std::string bytes;
    ASSERT_TRUE(qvtool::ParseHex("00 1a FF\t7f", &bytes));
    EXPECT_EQ(std::string("\x00\x1a\xff\x7f", 4), bytes);
    ASSERT_TRUE(qvtool::ParseHex("", &bytes));
    EXPECT_TRUE(bytes.empty());
    for (const char* bad : {"0", "0g", "1 2", "x1"}) EXPECT_FALSE(qvtool::ParseHex(bad, &bytes)) << bad;
    std::string all = RandomBytes(256, 1);
    ASSERT_TRUE(qvtool::ParseHex(qvtool::Hex(reinterpret_cast<const unsigned char*>(all.data()),
                                             all.size()),
                                 &bytes));
    EXPECT_EQ(all, bytes);
}

TEST(QvtoolCommands, UsageErrorsAreRefusedBeforeAnythingIsOpened) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"resolve", ""}, "resolve needs one NAME"},
        {{"tcp", "listen", "localhost", "0"}, "bad address 'localhost'"},
        {{"tcp", "connect", "127.1", "80"}, "bad address '127.1'"},
        {{"tcp", "connect", "127.0.0.1", "0"}, "bad port '0'"},
        {{"tcp", "listen", "127.0.0.1", "0", "--timeout", "0"}, "--timeout needs"},
        {{"tcp", "connect", "127.0.0.1", "80", "--echo"}, "unknown tcp connect option"},
        {{"udp", "0", "--peer", "127.1"}, "bad peer '127.1'"},
        {{"udp", "0", "--count", "0"}, "--count needs"},
        {{"serial", "COM1", "--wait", "soon"}, "--wait needs"},
        {{"udp", "0", "--peer", "127.0.0.1"}, "--peer needs :PORT when PORT is 0"},
        {{"udp", "0", "--hex", "--json"}, "give one of --hex and --json"},
        {{"scan", "--flush"}, "unknown scan option"},
        {{"bt", "radios", "--flush"}, "bt radios takes only --json"},
        {{"version", "x"}, "takes no arguments"},
        {{"serial", "COM1", "--dtr", "high"}, "--dtr needs on or off"},
        {{"serial", "COM1", "--break"}, "--break needs a number"},
    };
    for (const Case& c : cases) {
        qvtest::ToolResult result = RunTool(c.args);
        EXPECT_EQ(qvtool::kUsage, result.code) << c.says;
        EXPECT_TRUE(Contains(result.err, c.says)) << result.err;
        EXPECT_TRUE(result.out.empty()) << result.out;
    }
}

TEST(QvtoolSerial, AMegabyteOfRandomBytesPassesBothWaysUnchanged) {
    qvsim::SerialBus bus;
    qvsim::SerialPort& port = bus.Add(L"COM7");
    // Every byte value, Ctrl+Z, NUL, CR and LF among them, in both directions.
    const std::string toPort = RandomBytes(1 << 20, 7);
    const std::string fromPort = RandomBytes(1 << 20, 8);
    ToolRun run({"serial", "COM7"});
    ASSERT_TRUE(run.WaitErr([](const std::string& e) { return Contains(e, "COM7 open"); }))
        << run.Err();
    for (size_t at = 0; at < fromPort.size(); at += 100000) port.Arrive(fromPort.substr(at, 100000));
    ASSERT_TRUE(run.WaitOut([&](const std::string& o) { return o.size() >= fromPort.size(); }));
    run.Write(toPort);
    run.CloseInput();
    EXPECT_EQ(qvtool::kSuccess, run.Finish()) << run.Err();
    EXPECT_TRUE(run.Out() == fromPort);
    EXPECT_EQ(toPort.size(), port.Sent().size());
    EXPECT_TRUE(port.Sent() == toPort);
    EXPECT_FALSE(port.IsOpen());
}

TEST(QvtoolSerial, SetsTheModemLinesAndTellsTheirChangesAndARateThePortRounded) {
    qvsim::SerialBus bus;
    qvsim::SerialPort& port = bus.Add(L"COM5");
    port.RoundBaud(115200, 115384);
    auto says = [](ToolRun& run, const std::string& text) {
        return run.WaitErr([&](const std::string& e) { return Contains(e, text); });
    };
    {
        ToolRun run({"serial", "COM5", "--baud", "115200", "--dtr", "off", "--rts", "on",
                     "--break", "50"});
        ASSERT_TRUE(says(run, "COM5 open")) << run.Err();
        EXPECT_TRUE(Contains(run.Err(), "qvtool: COM5 took 115384 baud (asked for 115200)\n"));
        EXPECT_EQ("DTR0 RTS1 BRK1 BRK0", port.LineCalls());
        port.SetModemLines(MS_CTS_ON);
        EXPECT_TRUE(says(run, "qvtool: COM5 modem lines: CTS on, DSR off, RI off, DCD off "
                              "(changed: CTS)\n")) << run.Err();
        EXPECT_EQ(qvtool::kSuccess, run.Finish());
    }
    {
        ToolRun run({"serial", "COM5", "--json", "--baud", "115200"});
        ASSERT_TRUE(says(run, "{\"event\": \"open\", \"path\": \"COM5\"}\n")) << run.Err();
        EXPECT_TRUE(Contains(run.Err(), "{\"event\": \"baud\", \"asked\": 115200, \"taken\": 115384}\n"));
        port.SetModemLines(MS_CTS_ON | MS_RING_ON);
        port.SetModemLines(MS_CTS_ON);  // a ring is told as it ends
        EXPECT_TRUE(says(run, "{\"event\": \"modem\", \"cts\": true, \"dsr\": false, \"ring\": "
                              "false, \"dcd\": false, \"changed\": [\"ring\"]}\n")) << run.Err();
        port.LineError(CE_FRAME, "x");
        EXPECT_TRUE(says(run, "{\"event\": \"lineError\", \"errors\": [\"framing\"], \"flags\": 8, "
                              "\"discarded\": 1}\n")) << run.Err();
        EXPECT_EQ(qvtool::kSuccess, run.Finish());
        for (size_t at = 0; at < run.Err().size(); at = run.Err().find('\n', at) + 1) {
            EXPECT_EQ('{', run.Err()[at]) << "a line of stderr that is not JSON: " << run.Err();
        }
    }

    // A driver without modem lines: a line asked for fails the command; not
    // asked for, the session says so and goes on.
    port.RefuseLineCalls(ERROR_NOT_SUPPORTED);
    ToolRun refused({"serial", "COM5", "--dtr", "on"});
    EXPECT_EQ(qvtool::kFailure, refused.Finish());
    EXPECT_TRUE(Contains(refused.Err(), "cannot set DTR on COM5: error 50 (ERROR_NOT_SUPPORTED"))
        << refused.Err();
    qvtest::ToolResult json = RunTool({"serial", "COM5", "--rts", "off", "--json"});
    EXPECT_EQ(qvtool::kFailure, json.code);
    EXPECT_EQ(0u, json.err.find("{\"event\": \"error\", \"message\": \"cannot set RTS off COM5\", "
                                "\"error\": 50, \"text\": \"error 50 (ERROR_NOT_SUPPORTED"))
        << json.err;
    ToolRun run({"serial", "COM5"});
    EXPECT_TRUE(says(run, "COM5 reports no modem lines: error 50 (")) << run.Err();
    EXPECT_TRUE(says(run, "COM5 open")) << run.Err();
    EXPECT_EQ(qvtool::kSuccess, run.Finish());
}

TEST(QvtoolSerial, WaitsForTheAnswerAfterStdinUntilTheLineIsQuiet) {
    qvsim::SerialBus bus;
    qvsim::SerialPort& port = bus.Add(L"COM6");
    ToolRun run({"serial", "COM6", "--wait", "2000", "--threshold", "4"});
    ASSERT_TRUE(run.WaitErr([](const std::string& e) { return Contains(e, "COM6 open"); }));
    run.Write("AT\r");
    run.CloseInput();  // as printf 'AT\r' | qvtool serial COM6
    ASSERT_TRUE(qvtest::WaitUntil([&] { return port.Sent() == "AT\r"; }, 10000)) << port.Sent();
    Sleep(300);  // a device that takes its time to answer
    port.Arrive("\r\nOK\r\n");
    port.Arrive("OK");  // below the threshold: taken at the end
    EXPECT_EQ(qvtool::kSuccess, run.Finish()) << run.Err();
    EXPECT_EQ("\r\nOK\r\nOK", run.Out());

    // With stdin open, --timeout ends a session on which nothing arrives.
    ToolRun quiet({"serial", "COM6", "--timeout", "1"});
    EXPECT_EQ(qvtool::kSuccess, quiet.Code());
    quiet.Finish();
    EXPECT_TRUE(Contains(quiet.Err(), "nothing sent or received for 1 s")) << quiet.Err();
    EXPECT_FALSE(port.IsOpen());
}

TEST(QvtoolSerial, AFailedSendEndsTheSessionWithFailure) {
    qvsim::SerialBus bus;
    qvsim::SerialPort& port = bus.Add(L"COM8");
    ToolRun run({"serial", "COM8"});
    ASSERT_TRUE(run.WaitErr([](const std::string& e) { return Contains(e, "COM8 open"); }));
    port.Remove(ERROR_BAD_COMMAND);
    run.Write("lost");  // stdin stays open: the failure alone ends the session
    EXPECT_EQ(qvtool::kFailure, run.Code());
    run.Finish();
    EXPECT_TRUE(Contains(run.Err(), "cannot send to COM8: error 22 (")) << run.Err();
}

TEST(QvtoolSerial, OutputThatCannotBeWrittenEndsTheSessionWithFailure) {
    qvsim::SerialBus bus;
    qvsim::SerialPort& port = bus.Add(L"COM9");
    ToolRun run({"serial", "COM9"}, qvtest::Stdout::kGone);
    ASSERT_TRUE(run.WaitErr([](const std::string& e) { return Contains(e, "COM9 open"); }));
    port.Arrive("nobody reads this");
    EXPECT_EQ(qvtool::kFailure, run.Code());  // stdin is still open
    run.Finish();
    EXPECT_TRUE(Contains(run.Err(), "cannot write to stdout")) << run.Err();
    EXPECT_FALSE(port.IsOpen());
}

TEST(QvtoolScan, ListsAnsweringHostsAndTellsAnEmptyNetworkFromOneItCannotProbe) {
    qvsim::Sockets sockets;
    qvsim::HostNet net({"10.77.5.23"});
    net.AddHost(5, 0x0000665544332211ULL, "alpha.lan");
    net.AddHost(200, 0xC8, "");

    qvtest::ToolResult text = RunTool({"scan"});
    EXPECT_EQ(qvtool::kSuccess, text.code) << text.err;
    EXPECT_EQ("10.77.5.5        11-22-33-44-55-66  alpha.lan\n"
              "10.77.5.200      C8-00-00-00-00-00  \n",
              text.out);
    EXPECT_FALSE(Contains(text.err, "probed"));  // progress only on a terminal
    qvtest::ToolResult json = RunTool({"scan", "--json"});
    EXPECT_EQ(qvtool::kSuccess, json.code);
    EXPECT_EQ("[\n"
              "  {\"address\": \"10.77.5.5\", \"mac\": \"11-22-33-44-55-66\", \"hostName\": \"alpha.lan\"},\n"
              "  {\"address\": \"10.77.5.200\", \"mac\": \"C8-00-00-00-00-00\", \"hostName\": null}\n"
              "]\n",
              json.out);

    net.LimitAnswers(5, 0);
    net.LimitAnswers(200, 0);
    text = RunTool({"scan"});
    EXPECT_EQ(qvtool::kSuccess, text.code);
    EXPECT_EQ("no host answered\n", text.out);
    EXPECT_EQ("[]\n", RunTool({"scan", "--json"}).out);

    net.SetMissError(ERROR_NOT_SUPPORTED);  // what Wine answers to every probe
    for (const char* json : {"", "--json"}) {
        std::vector<std::string> args = {"scan"};
        if (*json) args.push_back(json);
        qvtest::ToolResult failed = RunTool(args);
        EXPECT_EQ(qvtool::kFailure, failed.code);
        EXPECT_TRUE(failed.out.empty()) << failed.out;
        EXPECT_TRUE(Contains(failed.err, "cannot probe this network: error 50 (")) << failed.err;
    }
}

TEST(QvtoolDiscovery, DevicesAddressesAndNamesAsTextAndJson) {
    GUID cls = {0x5a1d3c11, 0x7e0f, 0x4b6a, {0x9d, 0x21, 0x40, 0x11, 0x22, 0x33, 0x44, 0x55}};
    qvsim::DeviceDesc desc = qvsim::PortLikeDevice(L"QVTOOLDEV", cls);
    desc.friendlyName.reset();  // only a description: shown as the name
    qvsim::SimDevice device(desc);
    ASSERT_TRUE(device.Ok()) << device.Error();
    std::string guid = "{5A1D3C11-7E0F-4B6A-9D21-401122334455}";
    std::string path = qvtool::Narrow(device.Path().c_str());
    std::string instance = qvtool::Narrow(device.InstanceId().c_str());

    qvtest::ToolResult text = RunTool({"devices", guid});
    EXPECT_EQ(qvtool::kSuccess, text.code) << text.err;
    EXPECT_EQ(path + "\n  name:        Description QVTOOLDEV\n  hardware ID: QV\\QVTOOLDEV\n"
                     "  instance ID: " + instance + "\n",
              text.out);
    qvtest::ToolResult json = RunTool({"devices", guid, "--json"});
    EXPECT_EQ(qvtool::kSuccess, json.code);
    EXPECT_EQ("[\n  {\"path\": " + qvtool::Json(path) +
                  ", \"friendlyName\": null, \"description\": \"Description QVTOOLDEV\", "
                  "\"hardwareId\": \"QV\\\\QVTOOLDEV\", \"instanceId\": " + qvtool::Json(instance) +
                  "}\n]\n",
              json.out);
    device.Remove();
    EXPECT_EQ("[]\n", RunTool({"devices", guid, "--json"}).out);

    qvsim::Sockets sockets;
    qvsim::HostNet net({"10.77.5.23", "127.0.0.1"});
    net.AddName("printer.lan", {"10.77.5.200"});
    json = RunTool({"addrs", "--json"});
    EXPECT_EQ(qvtool::kSuccess, json.code);
    EXPECT_EQ("[\n  {\"address\": \"10.77.5.23\", \"usable\": true},\n"
              "  {\"address\": \"127.0.0.1\", \"usable\": false}\n]\n",
              json.out);
    json = RunTool({"resolve", "printer.lan", "--json"});
    EXPECT_EQ(qvtool::kSuccess, json.code);
    EXPECT_EQ("{\"name\": \"printer.lan\", \"address\": \"10.77.5.200\"}\n", json.out);
    text = RunTool({"resolve", "printer.lan"});
    EXPECT_EQ("10.77.5.200\n", text.out);
    net.AddName("gone.lan", {});  // the system does not know it
    text = RunTool({"resolve", "gone.lan"});
    EXPECT_EQ(qvtool::kFailure, text.code);
    EXPECT_TRUE(Contains(text.err, "cannot resolve gone.lan: error 11001 (WSAHOST_NOT_FOUND"))
        << text.err;

    json = RunTool({"adapters", "--json"});  // the machine's own, through Wine
    EXPECT_EQ(qvtool::kSuccess, json.code);
    EXPECT_EQ('[', json.out.front());
    EXPECT_EQ("]\n", json.out.substr(json.out.size() - 2));
}

TEST(QvtoolDiscovery, PortsWatchPrintsEachArrivalAndRemovalUntilItsTimeout) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"ports", "--timeout", "5"}, {"ports", "--watch", "--rescan", "50"}}) {
        qvtest::ToolResult result = RunTool(args);
        EXPECT_EQ(qvtool::kUsage, result.code);
        EXPECT_TRUE(Contains(result.err, args[1] == "--watch" ? "--rescan needs"
                                                              : "go with --watch"))
            << result.err;
    }
    const wchar_t kInstance[] = L"USB\\VID_0403&PID_6001\\QVTOOLW";
    for (bool json : {true, false}) {
        std::vector<std::string> args = {"ports", "--watch", "--rescan", "100", "--timeout", "4"};
        if (json) args.push_back("--json");
        ToolRun run(args);
        ASSERT_TRUE(run.WaitErr([](const std::string& e) { return Contains(e, "watching"); }))
            << run.Err();
        // An interface alone: its arrival is one reading, whenever it comes.
        auto port = std::make_unique<qvsim::ComPortNode>(L"COM57", kInstance, false);
        ASSERT_TRUE(port->Ok());
        std::string arrived =
            json ? "{\"event\": \"arrived\", \"port\": \"COM57\", \"source\": \"interface\", "
                   "\"friendlyName\": \"USB Serial Port (COM57)\", \"vendorId\": \"0403\", "
                   "\"productId\": \"6001\", \"serialNumber\": \"QVTOOLW\", "
                   "\"path\": \"\\\\\\\\.\\\\COM57\", \"hardwareId\": \"USB\\\\VID_0403&PID_6001\", "
                   "\"instanceId\": \"USB\\\\VID_0403&PID_6001\\\\QVTOOLW\", "
                   "\"bluetoothAddress\": null, \"bluetoothName\": null}\n"
                 : "arrived COM57  USB Serial Port (COM57)  USB 0403:6001  serial QVTOOLW  "
                   "\\\\.\\COM57\n";
        ASSERT_TRUE(run.WaitOut([&](const std::string& o) { return Contains(o, arrived); }))
            << run.Out();
        port.reset();
        std::string removed = arrived;
        removed.replace(removed.find("arrived"), 7, "removed");
        ASSERT_TRUE(run.WaitOut([&](const std::string& o) { return Contains(o, removed); }))
            << run.Out();
        EXPECT_EQ(qvtool::kSuccess, run.Code()) << "no end at the timeout";
    }
}

class QvtoolBluetooth : public Bluetooth {};

TEST_F(QvtoolBluetooth, RadiosAndTheirDevicesAsJson) {
    TwoRadios();
    stack.AddDevice(0, Device(kPhone, L"phone", true, true));
    stack.AddDevice(0, Device(kHeadset, L"head\"set", false, true));
    std::string radioA = qvtool::Narrow(Text(kRadioA).c_str());
    std::string radioB = qvtool::Narrow(Text(kRadioB).c_str());

    qvtest::ToolResult radios = RunTool({"bt", "radios", "--json"});
    EXPECT_EQ(qvtool::kSuccess, radios.code) << radios.err;
    EXPECT_EQ("[\n  {\"address\": \"" + radioA +
                  "\", \"name\": \"first radio\", \"classOfDevice\": 1835276},\n"
                  "  {\"address\": \"" + radioB +
                  "\", \"name\": \"second radio\", \"classOfDevice\": 2883852}\n]\n",
              radios.out);
    qvtest::ToolResult scan = RunTool({"bt", "scan", "--json"});
    EXPECT_EQ(qvtool::kSuccess, scan.code) << scan.err;
    std::string phone = qvtool::Narrow(Text(kPhone).c_str());
    std::string headset = qvtool::Narrow(Text(kHeadset).c_str());
    EXPECT_EQ("[\n  {\"radio\": \"" + radioA + "\", \"radioName\": \"first radio\", \"devices\": ["
                  "{\"address\": \"" + phone + "\", \"name\": \"phone\", \"classOfDevice\": 5898764, "
                  "\"remembered\": true, \"paired\": true}, "
                  "{\"address\": \"" + headset + "\", \"name\": \"head\\\"set\", \"classOfDevice\": "
                  "5898764, \"remembered\": false, \"paired\": false}]},\n"
                  "  {\"radio\": \"" + radioB + "\", \"radioName\": \"second radio\", \"devices\": []}\n]\n",
              scan.out);
}

TEST(QvtoolBluetoothMissing, NoRadioIsAFailureInEveryForm) {
    for (const char* json : {"", "--json"}) {
        std::vector<std::string> args = {"bt", "radios"};
        if (*json) args.push_back(json);
        qvtest::ToolResult result = RunTool(args);
        EXPECT_EQ(qvtool::kFailure, result.code);
        EXPECT_TRUE(result.out.empty()) << result.out;
        EXPECT_TRUE(Contains(result.err, "no Bluetooth radio")) << result.err;
    }
}
