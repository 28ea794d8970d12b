// Against the test build of quorvel.dll with simulated serial ports, device
// nodes, adapters, hosts and a Bluetooth stack (tests/node/sim_dll.cpp,
// tests/dotnet/sim_extra.cpp), driven through its own exports.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Quorvel.Tests
{
    internal static class Sim
    {
        private const string Dll = "quorvel";  // the test build the program runs with
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Unicode)]
        internal static extern uint qvsim_serial_add(string name);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Unicode)]
        internal static extern uint qvsim_serial_arrive(string name, byte[] data, uint cb, uint commError);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Unicode)]
        internal static extern uint qvsim_serial_remove(string name);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Unicode)]
        internal static extern uint qvsim_serial_modem(string name, uint lines, uint refuse);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Unicode)]
        internal static extern uint qvsim_serial_lines_out(string name);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Unicode)]
        internal static extern uint qvsim_serial_sent(string name, byte[] buffer, uint cb);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Unicode)]
        internal static extern uint qvsim_usb_port(string port, string instanceId, string hardwareId, string friendly,
                                                   string location = null);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        internal static extern uint qvsim_adapters(int count);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        internal static extern uint qvsim_reset();
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Unicode)]
        internal static extern int qvsim_bth_radio(ulong address, string name);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Unicode)]
        internal static extern uint qvsim_bth_device(int radio, ulong address, string name, int remembered, string passkey);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        internal static extern uint qvsim_bth_state(int radio, ulong device);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qvsim_bth_request(ulong device);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        internal static extern uint qvsim_host(uint octet, ulong mac, string name);

        internal static void Arrive(string port, string text, uint error = 0)
        {
            byte[] data = Encoding.ASCII.GetBytes(text);
            Check.Equal(0u, qvsim_serial_arrive(port, data, (uint)data.Length, error), "bytes arrive at " + port);
        }
    }

    internal static class SimTests
    {
        [Scenario("sim")]
        private static void LinesSetBeforeOpenAreAppliedAsThePortOpensAndLineEventsCarryTheirDetail()
        {
            Check.Equal(0u, Sim.qvsim_serial_add("COM41"), "a simulated port");
            using (var port = new SerialPort("COM41", 19200) { RtsEnable = true })
            {
                port.Open();
                Check.Equal(2u, Sim.qvsim_serial_lines_out("COM41"), "DTR down (not set: the default) and RTS up as the port opened");
                port.DtrEnable = true;
                port.BreakState = true;
                Check.Equal(7u, Sim.qvsim_serial_lines_out("COM41"), "DTR, RTS and break up");
                port.BreakState = false;

                var errors = new List<SerialErrorReceivedEventArgs>();
                var pins = new List<SerialPinChange>();
                port.ErrorReceived += (s, e) => { lock (errors) errors.Add(e); };
                port.PinChanged += (s, e) => { lock (pins) pins.Add(e.EventType); };
                Sim.Arrive("COM41", "lost", 0x8 | 0x4);  // CE_FRAME | CE_RXPARITY
                Check.Until(() => { lock (errors) return errors.Count == 2; }, 5000, "one ErrorReceived for each error");
                lock (errors)
                {
                    Check.True(errors.Any(e => e.EventType == SerialError.Frame) && errors.Any(e => e.EventType == SerialError.RXParity),
                               "Frame and RXParity");
                    Check.Equal(0xC, errors[0].Errors, "the line error's flags");
                    Check.Equal(4, errors[0].DiscardedBytes, "the bytes it discarded");
                }
                Sim.qvsim_serial_modem("COM41", 0x10 | 0x80, 0);  // CTS and DCD come up
                Check.Until(() => { lock (pins) return pins.Contains(SerialPinChange.CtsChanged) && pins.Contains(SerialPinChange.CDChanged); },
                            5000, "PinChanged for CTS and DCD");
                Check.True(port.CtsHolding && port.CDHolding && !port.DsrHolding, "the holding lines");

                byte[] sent = Encoding.ASCII.GetBytes("ping\r\n");
                port.Write(sent, 0, sent.Length);
                var seen = new byte[16];
                Check.Equal(6u, Sim.qvsim_serial_sent("COM41", seen, 16), "what the device received");
            }
        }

        [Scenario("sim")]
        private static void TheThresholdHoldsDataReceivedBackAndCallbacksSurviveCollections()
        {
            Sim.qvsim_serial_add("COM42");
            using (var port = new SerialPort("COM42") { ReceivedBytesThreshold = 5 })
            {
                int told = 0;
                port.DataReceived += (s, e) => Interlocked.Increment(ref told);
                port.Open();
                Sim.Arrive("COM42", "abc");
                Thread.Sleep(300);
                GC.Collect();
                GC.WaitForPendingFinalizers();
                Check.Equal(0, told, "three bytes of five");
                Sim.Arrive("COM42", "de");
                Check.Until(() => told == 1, 5000, "DataReceived once five wait");
                Check.Equal("abcde", port.ReadExisting(), "the bytes");
                for (int i = 0; i < 20; i++)
                {
                    GC.Collect();
                    GC.WaitForPendingFinalizers();
                    Sim.Arrive("COM42", "12345");
                    Check.Until(() => told >= i + 2, 5000, "DataReceived after a collection");
                    Check.Equal("12345", port.ReadExisting(), "the bytes after a collection");
                }
            }
        }

        [Scenario("sim")]
        private static void RemovalClosesThePortEndsItsReadAndTellsOnAPoolThread()
        {
            Sim.qvsim_serial_add("COM43");
            var port = new SerialPort("COM43");
            port.Open();
            var removed = new ManualResetEventSlim();
            bool onPool = false;
            port.Removed += (s, e) =>
            {
                onPool = Thread.CurrentThread.IsThreadPoolThread;
                removed.Set();
            };
            var reader = Task.Run(() => port.ReadByte());
            Thread.Sleep(200);
            Sim.qvsim_serial_remove("COM43");
            Check.True(removed.Wait(5000), "Removed");
            Check.True(onPool && !port.IsOpen, "raised on a pool thread, the port closed");
            Check.True(SpinWait.SpinUntil(() => reader.IsCompleted, 5000), "the blocked read ended");
            Check.True(reader.IsFaulted && reader.Exception.InnerException is QuorvelException, "the program's own read failed");
            Check.Throws<InvalidOperationException>(() => port.Write("x"), "a write after the removal");
            port.Dispose();
        }

        [Scenario("sim")]
        private static void TheWatchTellsArrivalsAndRemovalsWithUsbDetailAndFindsTheDevice()
        {
            Sim.qvsim_reset();
            using (var watcher = new PortWatcher { RescanMilliseconds = 100 })
            {
                var arrived = new List<SerialPortInfo>();
                var removed = new List<SerialPortInfo>();
                watcher.Arrived += (s, e) => { lock (arrived) arrived.Add(e.Port); };
                watcher.Removed += (s, e) => { lock (removed) removed.Add(e.Port); };
                watcher.Start();
                Check.Equal(0u, Sim.qvsim_usb_port("COM9", "USB\\VID_0403&PID_6001\\A50285BI", "USB\\VID_0403&PID_6001",
                                                   "USB Serial Port (COM9)"), "a USB adapter");
                Check.Until(() => { lock (arrived) return arrived.Any(p => p.Name == "COM9"); }, 10000, "Arrived for COM9");
                SerialPortInfo com9;
                lock (arrived) com9 = arrived.First(p => p.Name == "COM9");
                Check.Equal(0x0403, com9.VendorId, "VendorId");
                Check.Equal(0x6001, com9.ProductId, "ProductId");
                Check.Equal("A50285BI", com9.SerialNumber, "SerialNumber");
                Check.Equal("USB Serial Port (COM9)", com9.FriendlyName, "FriendlyName");
                Check.Equal("COM9", SerialPortInfo.FindUsbPort(0x0403, 0x6001, "a50285bi")?.Name, "FindUsbPort");
                Check.True(SerialPortInfo.FindUsbPort(0x0403, 0x6001, "other") == null, "FindUsbPort of another device");
                Check.True(SerialPort.GetPortNames().Contains("COM9"), "GetPortNames");
                var comPorts = new Guid("86E0D1E0-8089-11D0-9CE4-08003E301F73");
                Check.True(Discovery.GetDeviceInterfaces(comPorts).Any(d => d.InstanceId == "USB\\VID_0403&PID_6001\\A50285BI"
                                                                             && d.FriendlyName == "USB Serial Port (COM9)"),
                           "the adapter's COM-port interface");
                Sim.qvsim_reset();
                Check.Until(() => { lock (removed) return removed.Any(p => p.Name == "COM9"); }, 10000, "Removed for COM9");
                watcher.Stop();
                int count;
                lock (arrived) count = arrived.Count;
                Sim.qvsim_usb_port("COM9", "USB\\VID_0403&PID_6001\\A50285BI", "USB\\VID_0403&PID_6001", "USB Serial Port (COM9)");
                Thread.Sleep(500);
                lock (arrived) Check.Equal(count, arrived.Count, "nothing after Stop");
            }
            using (var present = new PortWatcher { ReportPresent = true })
            {
                var names = new List<string>();
                present.Arrived += (s, e) => { lock (names) names.Add(e.Port.Name); };
                present.Start();
                Check.Until(() => { lock (names) return names.Contains("COM9"); }, 10000, "the present ports, reported first");
            }
            Sim.qvsim_reset();
            Check.Throws<ArgumentOutOfRangeException>(() => new PortWatcher { RescanMilliseconds = 50 }, "a rescan of 50 ms");
            Check.Throws<ArgumentOutOfRangeException>(() => SerialPortInfo.FindUsbPort(0x10000, 1), "a vendor id past 0xFFFF");
        }

        [Scenario("sim")]
        private static void BluetoothSearchesPairsAnswersAndCarriesRfcommStreams()
        {
            const ulong radioAddress = 0x0011223344AA, sensorAddress = 0x0011223344BB;
            int radioNumber = Sim.qvsim_bth_radio(radioAddress, "radio one");
            Sim.qvsim_bth_device(radioNumber, sensorAddress, "sensor", 0, "1234");
            IReadOnlyList<BluetoothDeviceInfo> radios = BluetoothRadio.GetRadios();
            Check.Equal("radio one", radios.Single().Name, "the radio");
            using (BluetoothRadio radio = BluetoothRadio.Open())
            {
                Check.Equal(radios[0].Address, radio.Info.Address, "the radio's address");
                radio.SetDiscoverable(true);
                radio.SetConnectable(true);
                Check.Equal(6u, Sim.qvsim_bth_state(radioNumber, sensorAddress) & 6u, "discoverable and connectable");
                BluetoothDeviceInfo sensor = Check.Within(Bluetooth.FindDevicesAsync(radio), 10000, "the inquiry")
                    .Single(d => d.Name == "sensor");
                Check.Throws<ArgumentOutOfRangeException>(() => Bluetooth.Pair(sensor.Address, ""), "an empty passkey");
                Bluetooth.Pair(sensor.Address, "1234", radio);
                Check.Equal(1u, Sim.qvsim_bth_state(radioNumber, sensorAddress) & 1u, "paired");
                using (new BluetoothAuthenticator("1234", sensor.Address, radio))
                {
                    Check.Equal(1, Sim.qvsim_bth_request(sensorAddress), "the authenticator answered the device");
                }
                Check.Equal(0, Sim.qvsim_bth_request(sensorAddress), "nobody answers after Dispose");

                using (RfcommServer server = RfcommServer.Listen(5, radio.Info.Address))
                using (RfcommConnection client = RfcommConnection.Connect(radio.Info.Address, 5, 5000))
                using (RfcommConnection accepted = Check.Within(server.AcceptAsync(5000), 6000, "the RFCOMM connection"))
                {
                    Check.Equal(5, server.ListeningChannel, "the channel");
                    var writer = new StreamWriter(client.GetStream()) { AutoFlush = true };
                    writer.Write("over the air\n");
                    Check.Equal("over the air", new StreamReader(accepted.GetStream()).ReadLine(), "the stream");
                }
            }
        }

        [Scenario("sim")]
        private static void FindersListAdaptersAndTheHostScanTellsProgressAndCancels()
        {
            Sim.qvsim_adapters(2);
            IReadOnlyList<NetworkAdapterInfo> adapters = Discovery.GetAdapters();
            Check.Equal(2, adapters.Count, "two adapters");
            Check.Equal(6, adapters[0].MacAddress.Length, "the MAC's bytes");
            Sim.qvsim_host(5, 0x665544332211, "alpha.lan");
            var reports = new List<HostScanProgress>();
            var progress = new SyncProgress(p => { lock (reports) reports.Add(p); });
            IReadOnlyList<HostInfo> hosts = Check.Within(Discovery.FindHostsAsync(progress), 60000, "the scan");
            HostInfo alpha = hosts.Single();
            Check.Equal("alpha.lan", alpha.HostName, "the host's name");
            Check.Equal("11-22-33-44-55-66", alpha.MacText, "its MAC");
            lock (reports) Check.True(reports.Count > 0 && reports.Last().Probed == 254 && reports.Last().Answered == 1, "progress to the end");
            using (var cancel = new CancellationTokenSource(50))
            {
                Check.Throws<OperationCanceledException>(() => Discovery.FindHostsAsync(progress, cancel.Token), "a cancelled scan");
            }
            Sim.qvsim_reset();
        }

        // Reports on the reporting thread (Progress<T> would post to the pool).
        private sealed class SyncProgress : IProgress<HostScanProgress>
        {
            private readonly Action<HostScanProgress> _report;
            internal SyncProgress(Action<HostScanProgress> report) { _report = report; }
            public void Report(HostScanProgress value) => _report(value);
        }
    }
}
