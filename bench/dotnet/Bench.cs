// Benchmark rows of the .NET package (scripts/bench.sh), built into the
// tests' console program (tests/dotnet/run.sh copies this file in) and run
// as its "bench" group:
// - TCP echo through the package against System.Net.Sockets in the same
//   process, through the loopback peer (tests/socket/peer.py), turn about;
// - serial throughput on the pty port (tests/serial/pty_run.py);
// - the time from a write to the package's DataReceived handler.
using System;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Net.Sockets;
using System.Threading;

namespace Quorvel.Tests
{
    internal static class Bench
    {
        private static void Row(string what, string figure, string goal) =>
            Console.WriteLine("ROW " + what + "|" + figure + "|" + goal);

        private static int Peer(string name) =>
            int.Parse(File.ReadAllLines(Environment.GetEnvironmentVariable("QV_PEER_INFO"))
                      .First(l => l.StartsWith(name + " ")).Split(' ')[1]);

        // MB/s of echoing total bytes in blocks through send and receive.
        private static double Echo(Action<byte[]> send, Func<byte[], int> receive, int total)
        {
            var block = new byte[65536];
            var back = new byte[65536];
            var clock = Stopwatch.StartNew();
            for (int done = 0; done < total; done += block.Length)
            {
                send(block);
                for (int got = 0; got < block.Length;) got += receive(back);
            }
            return total / clock.Elapsed.TotalSeconds / 1e6;
        }

        [Scenario("bench")]
        private static void TcpEchoAgainstSystemNetSockets()
        {
            const int total = 32 << 20;
            double ours = 0, theirs = 0;
            for (int round = 0; round < 3; round++)
            {
                using (TcpConnection c = TcpConnection.Connect("127.0.0.1", Peer("tcp")))
                    ours = Math.Max(ours, Echo(b => c.Send(b, 0, b.Length), b => c.Receive(b, 0, b.Length), total));
                using (var s = new Socket(AddressFamily.InterNetwork, SocketType.Stream, ProtocolType.Tcp))
                {
                    s.Connect("127.0.0.1", Peer("tcp"));
                    theirs = Math.Max(theirs, Echo(b => s.Send(b), b => s.Receive(b), total));
                }
            }
            Row(".NET TCP echo, package", ours.ToString("F1") + " MB/s", "");
            Row(".NET TCP echo, System.Net.Sockets", theirs.ToString("F1") + " MB/s", "");
            Row(".NET TCP echo, package / System.Net.Sockets", (ours / theirs).ToString("F2"), ">= 0.80");
        }

        [Scenario("bench")]
        private static void EventLatencyToAHandler()
        {
            using (TcpServer server = TcpServer.Listen("127.0.0.1", 0))
            using (var client = new Socket(AddressFamily.InterNetwork, SocketType.Stream, ProtocolType.Tcp))
            {
                client.Connect("127.0.0.1", server.LocalEndPoint.Port);
                client.NoDelay = true;
                using (TcpConnection accepted = server.Accept(5000))
                {
                    var clock = Stopwatch.StartNew();
                    long heardAt = 0;
                    var heard = new AutoResetEvent(false);
                    var samples = new double[500];
                    var one = new byte[1];
                    var sink = new byte[16];
                    accepted.DataReceived += (s, e) =>
                    {
                        long now = clock.ElapsedTicks;
                        if (accepted.Available == 0) return;  // a repeat for data read already
                        accepted.Receive(sink, 0, sink.Length, 0);
                        Volatile.Write(ref heardAt, now);
                        heard.Set();
                    };
                    for (int i = 0; i < samples.Length; i++)
                    {
                        long sentAt = clock.ElapsedTicks;
                        client.Send(one);
                        if (!heard.WaitOne(5000)) throw new TimeoutException("no DataReceived");
                        samples[i] = (Volatile.Read(ref heardAt) - sentAt) * 1e6 / Stopwatch.Frequency;
                        Thread.Sleep(2);
                    }
                    Array.Sort(samples);
                    Row(".NET DataReceived latency, median", samples[samples.Length / 2].ToString("F0") + " us", "");
                    Row(".NET DataReceived latency, p99", samples[samples.Length * 99 / 100].ToString("F0") + " us", "");
                }
            }
        }

        // From a write to a ReceiveAsync that waits without a thread (woken by
        // the data event; without it only the package's poll would end it).
        [Scenario("bench")]
        private static void ReceiveAsyncLatency()
        {
            using (TcpServer server = TcpServer.Listen("127.0.0.1", 0))
            using (var client = new Socket(AddressFamily.InterNetwork, SocketType.Stream, ProtocolType.Tcp))
            {
                client.Connect("127.0.0.1", server.LocalEndPoint.Port);
                client.NoDelay = true;
                using (TcpConnection accepted = server.Accept(5000))
                {
                    var samples = new double[300];
                    var buffer = new byte[16];
                    for (int i = 0; i < samples.Length; i++)
                    {
                        var pending = accepted.ReceiveAsync(buffer, 0, buffer.Length, 5000);
                        Thread.Sleep(2);
                        var clock = Stopwatch.StartNew();
                        client.Send(buffer, 1, SocketFlags.None);
                        pending.GetAwaiter().GetResult();
                        samples[i] = clock.Elapsed.TotalMilliseconds * 1000;
                    }
                    Array.Sort(samples);
                    Row(".NET ReceiveAsync latency, median", samples[samples.Length / 2].ToString("F0") + " us", "");
                    Row(".NET ReceiveAsync latency, p99", samples[samples.Length * 99 / 100].ToString("F0") + " us", "");
                }
            }
        }

        [Scenario("bench-pty")]
        private static void SerialThroughputOnThePty()
        {
            using (var port = new SerialPort(Environment.GetEnvironmentVariable("QV_PTY_PORT"), 115200) { ReadTimeout = 5000 })
            {
                port.Open();
                const int total = 1 << 20;
                var block = new byte[4096];
                var back = new byte[65536];
                var clock = Stopwatch.StartNew();
                int got = 0;
                for (int sent = 0; sent < total; sent += block.Length)
                {
                    port.Write(block, 0, block.Length);
                    while (got < sent + block.Length) got += port.Read(back, 0, back.Length);
                }
                Row(".NET serial echo on a pty port", (total / clock.Elapsed.TotalSeconds / 1e3).ToString("F0") + " KB/s", "");
            }
        }
    }
}
