// TCP and UDP against the loopback peer of the socket tests
// (tests/socket/peer.py): an echo server, a server that says "bye" and
// closes, and a UDP echo that also connects or sends on request.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Net;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Quorvel.Tests
{
    internal static class SocketTests
    {
        private static int PeerPort(string name)
        {
            foreach (string line in File.ReadAllLines(Environment.GetEnvironmentVariable("QV_PEER_INFO")))
            {
                string[] parts = line.Split(' ');
                if (parts.Length == 2 && parts[0] == name) return int.Parse(parts[1]);
            }
            throw new CheckFailed("the peer has no " + name + " port");
        }

        [Scenario("sockets")]
        private static void TcpEchoIsExactAndEventsComeOnPoolThreadsAcrossCollections()
        {
            using (TcpConnection c = TcpConnection.Connect("127.0.0.1", PeerPort("tcp"), 5000))
            {
                Check.Equal(PeerPort("tcp"), c.RemoteEndPoint.Port, "RemoteEndPoint");
                Check.Equal("127.0.0.1", c.LocalEndPoint.Address.ToString(), "LocalEndPoint");
                var received = new MemoryStream();
                int events = 0;
                bool offPool = false;
                c.DataReceived += (s, e) =>
                {
                    if (!Thread.CurrentThread.IsThreadPoolThread) offPool = true;
                    Interlocked.Increment(ref events);
                    var chunk = new byte[65536];
                    int n;
                    lock (received)
                    {
                        while (((TcpConnection)s).Available > 0 && (n = ((TcpConnection)s).Receive(chunk, 0, chunk.Length, 0)) > 0)
                            received.Write(chunk, 0, n);
                    }
                };
                var data = new byte[300000];
                new Random(3).NextBytes(data);
                for (int i = 0; i < data.Length; i += 30000)
                {
                    c.Send(data, i, 30000);
                    GC.Collect();
                    GC.WaitForPendingFinalizers();
                }
                Check.Until(() => { lock (received) return received.Length >= data.Length; }, 20000, "the echo through DataReceived");
                lock (received) Check.Bytes(data, received.ToArray(), "the echo");
                Check.True(events > 0 && !offPool, "DataReceived on pool threads");
            }
        }

        [Scenario("sockets")]
        private static void StreamsReadToTheEndAndTheDisconnectIsTold()
        {
            using (TcpConnection c = TcpConnection.Connect(new IPEndPoint(IPAddress.Loopback, PeerPort("close"))))
            {
                var told = new ManualResetEventSlim();
                c.Disconnected += (s, e) => told.Set();
                Stream stream = c.GetStream();
                stream.ReadTimeout = 5000;
                var reader = new StreamReader(stream, Encoding.ASCII);
                Check.Equal("bye", reader.ReadToEnd(), "what the peer sent before it closed");
                Check.True(told.Wait(5000), "Disconnected");
                Check.Equal(0, c.Receive(new byte[4], 0, 4, 1000), "a receive after the end");
            }
        }

        // The peer sends and closes at once; the system tells of the close only
        // once what came before it is taken.
        [Scenario("sockets")]
        private static void EachArrivalIsToldOnceAndThePeersCloseComesWhileItsBytesWaitUnread()
        {
            using (TcpConnection c = TcpConnection.Connect("localhost", PeerPort("close"), 5000))
            {
                int told = 0, ends = 0;
                var ended = new ManualResetEventSlim();
                c.DataReceived += (s, e) => Interlocked.Increment(ref told);
                c.Disconnected += (s, e) => { Interlocked.Increment(ref ends); ended.Set(); };
                Check.True(ended.Wait(5000), "Disconnected while the peer's bytes wait unread");
                Check.Equal(3, c.Available, "what the peer sent waits");
                Thread.Sleep(500);
                Check.Equal(1, told, "DataReceived for the one arrival");
                var buffer = new byte[8];
                Check.Equal(3, c.Receive(buffer, 0, 8, 1000), "the bytes after the close");
                Check.Equal("bye", Encoding.ASCII.GetString(buffer, 0, 3), "what the peer sent");
                Check.Equal(0, c.Receive(buffer, 0, 8, 1000), "then the end");
                Thread.Sleep(300);
                Check.Equal(1, ends, "Disconnected once");
            }
            using (TcpConnection c = TcpConnection.Connect("127.0.0.1", PeerPort("tcp")))
            {
                int told = 0;
                c.DataReceived += (s, e) => Interlocked.Increment(ref told);
                c.Send("abc");
                Check.Until(() => c.Available == 3, 5000, "the echo waits");
                Thread.Sleep(1000);
                Check.True(told >= 1 && told <= 3, "DataReceived for each arrival, not while bytes wait unread (" + told + " times)");
                int before = told;
                c.Receive(new byte[8], 0, 8);
                c.Send("d");
                Check.Until(() => told > before, 5000, "DataReceived for the next arrival");
            }
        }

        [Scenario("sockets")]
        private static void AcceptAndReceiveHonourCancelsAndTimeLimitsAndStayUsable()
        {
            using (TcpServer server = TcpServer.Listen("127.0.0.1", 0))
            using (UdpSocket udp = UdpSocket.Open())
            {
                int port = server.LocalEndPoint.Port;
                using (var cancel = new CancellationTokenSource(200))
                    Check.Throws<OperationCanceledException>(() => server.AcceptAsync(-1, cancel.Token), "a cancelled AcceptAsync");
                var late = Check.Throws<TimeoutException>(() => server.Accept(100), "Accept with nobody connecting");
                Check.Equal("The accept time limit of the server on 127.0.0.1:" + port + " ran out.", late.Message, "what ran out of time");
                var waiting = new ManualResetEventSlim();
                server.ConnectionWaiting += (s, e) => waiting.Set();
                udp.SendTo(Encoding.ASCII.GetBytes("CONNECT " + port), "127.0.0.1", PeerPort("udp"));
                using (TcpConnection accepted = Check.Within(server.AcceptAsync(5000), 6000, "the peer's connection"))
                {
                    Check.True(waiting.Wait(5000), "ConnectionWaiting");
                    var buffer = new byte[64];
                    int n = 0;
                    while (n < 19) n += Check.Within(accepted.ReceiveAsync(buffer, n, 64 - n, 5000), 6000, "the peer's words");
                    Check.Equal("hello from the peer", Encoding.ASCII.GetString(buffer, 0, n), "the accepted connection's data");
                }
                using (TcpConnection c = TcpConnection.Connect("127.0.0.1", PeerPort("tcp")))
                {
                    var buffer = new byte[8];
                    using (var cancel = new CancellationTokenSource(200))
                        Check.Throws<OperationCanceledException>(() => c.ReceiveAsync(buffer, 0, 8, -1, cancel.Token), "a cancelled ReceiveAsync");
                    Check.Throws<TimeoutException>(() => c.ReceiveAsync(buffer, 0, 8, 200), "ReceiveAsync's time limit");
                    late = Check.Throws<TimeoutException>(() => c.Receive(buffer, 0, 8, 200), "Receive's time limit");
                    Check.Equal("The read time limit of the connection to 127.0.0.1:" + PeerPort("tcp") + " ran out.", late.Message,
                                "what ran out of time");
                    c.Send("again");
                    int got = 0;
                    while (got < 5) got += Check.Within(c.ReceiveAsync(buffer, got, 8 - got), 5000, "the echo after a cancel");
                    Check.Equal("again", Encoding.ASCII.GetString(buffer, 0, 5), "the connection works after a cancel");
                }
            }
        }

        [Scenario("sockets")]
        private static void UdpDatagramsGoBothWays()
        {
            using (UdpSocket udp = UdpSocket.Open())
            {
                var heard = new ManualResetEventSlim();
                int told = 0;
                udp.DataReceived += (s, e) => { Interlocked.Increment(ref told); heard.Set(); };
                udp.SendTo(new byte[] { 1, 2, 3 }, new IPEndPoint(IPAddress.Loopback, PeerPort("udp")));
                Check.True(heard.Wait(5000), "DataReceived");
                Thread.Sleep(500);
                Check.Equal(1, told, "DataReceived once for a datagram left waiting");
                UdpDatagram echo = Check.Within(udp.ReceiveAsync(5000), 6000, "the echo");
                Check.Bytes(new byte[] { 1, 2, 3 }, echo.Data, "the datagram");
                Check.Equal(PeerPort("udp"), echo.RemoteEndPoint.Port, "its sender");
                udp.SendTo(Encoding.ASCII.GetBytes("PORT " + udp.LocalPort), "127.0.0.1", PeerPort("udp"));
                Check.Equal("hello", Encoding.ASCII.GetString(udp.Receive(5000).Data), "a datagram the peer sent on its own");
                Check.Throws<TimeoutException>(() => udp.Receive(100), "Receive's time limit");
                Check.Throws<ArgumentOutOfRangeException>(() => udp.SendTo(new byte[65508], "127.0.0.1", 9), "an oversized datagram");
            }

            // A handler that takes every datagram that waits while more come
            // (events for datagrams it took come late): the next ones are told.
            using (UdpSocket udp = UdpSocket.Open())
            {
                int taken = 0;
                udp.DataReceived += (s, e) =>
                {
                    try
                    {
                        for (;;)
                        {
                            udp.Receive(0);
                            Interlocked.Increment(ref taken);
                        }
                    }
                    catch (TimeoutException)
                    {
                    }
                };
                var peer = new IPEndPoint(IPAddress.Loopback, PeerPort("udp"));
                for (int round = 1; round <= 20; round++)
                {
                    for (int i = 0; i < 3; i++) udp.SendTo(new byte[] { (byte)i }, peer);
                    Check.Until(() => Volatile.Read(ref taken) == round * 3, 5000, "every echo taken by the handler, round " + round);
                }
            }
        }

        [Scenario("sockets")]
        private static void DisposeEndsABlockedReceiveAtOnceFromAnotherThreadOrAHandler()
        {
            TcpConnection c = TcpConnection.Connect("127.0.0.1", PeerPort("tcp"));
            var reader = Task.Run(() => c.Receive(new byte[8], 0, 8));
            Thread.Sleep(300);
            var clock = Stopwatch.StartNew();
            c.Dispose();
            Check.True(SpinWait.SpinUntil(() => reader.IsCompleted, 2000), "the blocked receive ended");
            Check.True(clock.ElapsedMilliseconds < 500, "within 0.5 s (" + clock.ElapsedMilliseconds + " ms)");
            var e = Check.Throws<QuorvelException>(() => reader.GetAwaiter().GetResult(), "the blocked receive");
            Check.Equal(995, e.NativeErrorCode, "ERROR_OPERATION_ABORTED");
            var late = Check.Throws<ObjectDisposedException>(() => c.Send("x"), "a send after Dispose");
            Check.Equal("Quorvel.TcpConnection", late.ObjectName, "the disposed object");
            Check.Throws<ObjectDisposedException>(() => { int n = c.Available; }, "Available after Dispose");

            // Waits without a thread, ended by Dispose: the same 995.
            TcpConnection f = TcpConnection.Connect("127.0.0.1", PeerPort("tcp"));
            TcpServer server = TcpServer.Listen("127.0.0.1", 0);
            UdpSocket udp = UdpSocket.Open();
            var waits = new Task[] { f.ReceiveAsync(new byte[8], 0, 8), server.AcceptAsync(), udp.ReceiveAsync() };
            Thread.Sleep(300);
            f.Dispose();
            server.Dispose();
            udp.Dispose();
            foreach (Task wait in waits)
            {
                var aborted = Check.Throws<QuorvelException>(() => wait, "a wait that Dispose ended");
                Check.Equal(995, aborted.NativeErrorCode, "ERROR_OPERATION_ABORTED");
            }

            // Calls that race the Dispose of another thread: each either works,
            // ends as aborted or finds the object disposed, never an invalid handle.
            for (int round = 0; round < 100; round++)
            {
                TcpConnection r = TcpConnection.Connect("127.0.0.1", PeerPort("tcp"));
                var go = new ManualResetEventSlim();
                var racer = Task.Run(() =>
                {
                    go.Set();
                    for (;;)
                    {
                        try
                        {
                            if (r.Available > 4096) r.Receive(new byte[8192], 0, 8192, 0);
                            r.Send("r");
                        }
                        catch (ObjectDisposedException)
                        {
                            return;
                        }
                        catch (QuorvelException x) when (x.NativeErrorCode == 995)
                        {
                        }
                    }
                });
                go.Wait();
                Thread.SpinWait(round % 30 * 500);
                r.Dispose();
                Check.True(racer.Wait(5000), "calls racing Dispose ended as aborted or disposed (round " + round + ")");
            }

            TcpConnection d = TcpConnection.Connect("127.0.0.1", PeerPort("tcp"));
            var disposed = new ManualResetEventSlim();
            d.DataReceived += (s, a) =>
            {
                ((TcpConnection)s).Dispose();
                disposed.Set();
            };
            d.Send("x");
            Check.True(disposed.Wait(5000), "a handler disposed its connection");
            Check.True(d.IsClosed, "closed");
        }

        // Objects dropped without Dispose are closed by their finalizers; the
        // collections meanwhile must not crash the process or reach a
        // callback the library still holds.
        [Scenario("sockets")]
        private static void DroppedObjectsAreFinalizedWithoutHarm()
        {
            int port = PeerPort("tcp");
            using (TcpConnection kept = TcpConnection.Connect("127.0.0.1", port))
            {
                int heard = 0;
                kept.DataReceived += (s, e) =>
                {
                    var c = (TcpConnection)s;
                    if (c.Available == 0) return;  // told again of what was read already
                    c.Receive(new byte[64], 0, 64, 0);
                    Interlocked.Increment(ref heard);
                };
                for (int round = 0; round < 5; round++)
                {
                    Drop(port);
                    GC.Collect();
                    GC.WaitForPendingFinalizers();
                    kept.Send("x");
                    Check.Until(() => heard > round, 5000, "the kept connection's events across finalizations");
                }
            }
        }

        private static void Drop(int port)
        {
            TcpConnection.Connect("127.0.0.1", port).Send("dropped");
            UdpSocket.Open();
            TcpServer.Listen("127.0.0.1", 0);
            Discovery.GetLocalAddresses();
        }

        [Scenario("sockets")]
        private static void FailuresAreWin32ExceptionsWithTheirCodeAndName()
        {
            var refused = Check.Throws<QuorvelException>(() => TcpConnection.Connect("127.0.0.1", 1, 5000), "a refused connection");
            Check.Equal(10061, refused.NativeErrorCode, "WSAECONNREFUSED");
            Check.Equal("WSAECONNREFUSED", refused.ErrorName, "the code's name");
            Check.Equal("qv_tcp_connect", refused.Function, "the call");
            Check.Throws<ArgumentOutOfRangeException>(() => TcpConnection.Connect("127.0.0.1", 0), "port 0");
            Check.Throws<ArgumentOutOfRangeException>(() => TcpConnection.Connect("127.0.0.1", 7, -2), "a limit of -2");
            Check.Throws<ArgumentNullException>(() => TcpConnection.Connect((string)null, 7), "no address");
            Check.Throws<ArgumentException>(() => TcpConnection.Connect(" ", 7), "a blank address");
            Check.Throws<ArgumentException>(() => TcpConnection.Connect("::1", 7), "an IPv6 address");
            Check.True(QuorvelLibrary.Version.Major >= 0 && QuorvelLibrary.ErrorText(10061).StartsWith("WSAECONNREFUSED"), "ErrorText");
            Check.Equal("127.0.0.1", Discovery.Resolve("localhost"), "Resolve");
            using (var cancel = new CancellationTokenSource())
            {
                cancel.Cancel();
                Check.Throws<OperationCanceledException>(() => TcpConnection.ConnectAsync("127.0.0.1", PeerPort("tcp"), 5000, cancel.Token),
                                                         "a cancelled connect");
            }
            using (TcpConnection c = Check.Within(TcpConnection.ConnectAsync("127.0.0.1", PeerPort("tcp")), 6000, "ConnectAsync"))
                Check.True(!c.IsClosed, "connected");
        }
    }
}
