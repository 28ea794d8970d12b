// A Wine COM port on a Linux pseudo-terminal whose other end
// (tests/serial/pty_run.py) sends back in upper case what it reads: a real
// driver, without modem lines.
using System;
using System.Diagnostics;
using System.Linq;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Quorvel.Tests
{
    internal static class SerialPtyTests
    {
        private static SerialPort Open()
        {
            string name = Environment.GetEnvironmentVariable("QV_PTY_PORT");
            Check.True(name != null, "run through tests/serial/pty_run.py, which makes the port");
            var port = new SerialPort(name, 115200) { ReadTimeout = 5000, WriteTimeout = 5000 };
            port.Open();
            return port;
        }

        private static byte[] Upper(byte[] data) => data.Select(b => b >= 'a' && b <= 'z' ? (byte)(b - 32) : b).ToArray();

        private static byte[] ReadExactly(SerialPort port, int count)
        {
            var got = new byte[count];
            for (int n = 0; n < count;) n += port.Read(got, n, count - n);
            return got;
        }

        [Scenario("pty")]
        private static void EveryByteValueCrossesBothWaysAndTextReadsSplitWhereAsked()
        {
            using (SerialPort port = Open())
            {
                byte[] all = Enumerable.Range(0, 1024).Select(i => (byte)i).ToArray();
                port.Write(all, 0, all.Length);
                Check.Bytes(Upper(all), ReadExactly(port, all.Length), "echo of every byte value");

                port.WriteLine("first line");
                port.Write("second;rest\n");
                Check.Equal("FIRST LINE", port.ReadLine(), "ReadLine");
                Check.Equal("SECOND", port.ReadTo(";"), "ReadTo");
                Check.Equal((int)'R', port.ReadChar(), "ReadChar");
                Check.Equal((int)'E', port.ReadByte(), "ReadByte");
                port.NewLine = "\r\n";
                port.Write("x\r\n");
                Check.Equal("ST", port.ReadTo("\n"), "what was read as text and as bytes is not read again");
                Check.Equal("X", port.ReadLine(), "ReadLine with a two-character NewLine");

                port.Encoding = Encoding.UTF8;
                port.WriteLine("zw\u00f6lf");  // the peer upper-cases ASCII only
                Check.Equal("ZW\u00f6LF", port.ReadLine(), "UTF-8 text");
                port.Write("abc");
                Check.Until(() => port.BytesToRead == 3, 5000, "BytesToRead counts what waits");
                Check.Equal("ABC", port.ReadExisting(), "ReadExisting");
                Check.Equal("", port.ReadExisting(), "ReadExisting with nothing waiting");
            }
        }

        [Scenario("pty")]
        private static void DataReceivedHearsEveryByteOnPoolThreadsAcrossCollections()
        {
            using (SerialPort port = Open())
            {
                var received = new System.IO.MemoryStream();
                bool offPool = false;
                port.DataReceived += (sender, e) =>
                {
                    if (!Thread.CurrentThread.IsThreadPoolThread) offPool = true;
                    var p = (SerialPort)sender;
                    var chunk = new byte[p.BytesToRead];
                    int n = p.Read(chunk, 0, chunk.Length);
                    lock (received) received.Write(chunk, 0, n);
                };
                var data = new byte[20000];
                new Random(7).NextBytes(data);
                for (int i = 0; i < data.Length; i += 1000)
                {
                    port.Write(data, i, 1000);
                    GC.Collect();
                    GC.WaitForPendingFinalizers();
                }
                Check.Until(() => { lock (received) return received.Length >= data.Length; }, 20000,
                            "DataReceived handlers read every byte");
                Thread.Sleep(200);
                lock (received) Check.Bytes(Upper(data), received.ToArray(), "what the handlers read");
                Check.True(!offPool, "DataReceived runs on thread-pool threads");
            }
        }

        // Wine's driver on a pseudo-terminal completes every wait at once, and
        // the library tells of the bytes again each time.
        [Scenario("pty")]
        private static void DataReceivedComesOncePerArrivalThoughTheDriverRepeatsItsEvent()
        {
            using (SerialPort port = Open())
            {
                int told = 0;
                port.DataReceived += (s, e) => Interlocked.Increment(ref told);
                port.Write("a");
                Check.Until(() => told >= 1, 5000, "DataReceived for one byte");
                Thread.Sleep(1000);
                Check.Equal(1, told, "DataReceived for one byte left unread, over a second");
                port.ReceivedBytesThreshold = 5;
                port.Write("bc");
                Check.Until(() => port.BytesToRead == 3, 5000, "three bytes wait");
                Thread.Sleep(500);
                Check.Equal(1, told, "nothing for three bytes of five");
                port.Write("de");
                Check.Until(() => told >= 2, 5000, "DataReceived once five wait");
                Thread.Sleep(600);
                Check.Equal(2, told, "once for the arrival that reached the threshold");
                Check.Equal("ABCDE", port.ReadExisting(), "the bytes");
                port.ReceivedBytesThreshold = 1;
                port.Write("f");
                Check.Until(() => told >= 3, 5000, "DataReceived for the arrival after a read");
                Thread.Sleep(600);
                Check.Equal(3, told, "once");
                port.DiscardInBuffer();
                port.Write("g");
                Check.Until(() => told >= 4, 5000, "DataReceived for the arrival after a discard");
            }
        }

        // Wine's driver on a pseudo-terminal says yes to parity and 5 data bits,
        // and keeps what it had (or garbage, which the next Open then fails on).
        [Scenario("pty")]
        private static void ALineSettingTheDriverDoesNotTakeThrowsAndLeavesTheOldOne()
        {
            using (SerialPort port = Open())
            {
                var refused = Check.Throws<QuorvelException>(() => port.Parity = Parity.Odd, "odd parity on a pseudo-terminal");
                Check.Equal(87, refused.NativeErrorCode, "ERROR_INVALID_PARAMETER");
                Check.Equal(Parity.None, port.Parity, "the parity as it was");
                Check.Throws<QuorvelException>(() => port.DataBits = 5, "5 data bits");
                Check.Throws<QuorvelException>(() => port.DataBits = 7, "7 data bits, which the driver refuses outright");
                Check.Equal(8, port.DataBits, "the data bits as they were");
                port.StopBits = StopBits.Two;
                Check.Equal(StopBits.Two, port.StopBits, "two stop bits, which the driver takes");
                port.Close();
                port.Open();
                port.Write("ok");
                Check.Bytes(Encoding.ASCII.GetBytes("OK"), ReadExactly(port, 2), "the port after the refusals");
            }
        }

        [Scenario("pty")]
        private static void TimeLimitsAndCancelsLeaveThePortUsable()
        {
            using (SerialPort port = Open())
            {
                port.ReadTimeout = 300;
                var clock = Stopwatch.StartNew();
                Check.Throws<TimeoutException>(() => port.ReadByte(), "a read with nothing to read");
                Check.True(clock.ElapsedMilliseconds >= 250, "the read waited its limit (" + clock.ElapsedMilliseconds + " ms)");
                port.Write("partial");
                Check.Throws<TimeoutException>(() => port.ReadLine(), "a line that does not end");
                Check.Equal("PARTIAL", port.ReadExisting(), "a timed-out line stays to be read");

                var buffer = new byte[16];
                var late = Check.Throws<TimeoutException>(() => port.ReadAsync(buffer, 0, 16), "ReadAsync honours ReadTimeout");
                Check.Equal("The read time limit of " + port.PortName + " ran out.", late.Message, "what ran out of time");
                port.ReadTimeout = SerialPort.InfiniteTimeout;
                using (var cancel = new CancellationTokenSource(200))
                {
                    Check.Throws<OperationCanceledException>(() => port.ReadAsync(buffer, 0, 16, cancel.Token), "a cancelled ReadAsync");
                }
                port.Write("after");
                Task<int> read = port.ReadAsync(buffer, 0, 5);
                int got = Check.Within(read, 5000, "a read after the cancel");
                while (got < 5) got += port.Read(buffer, got, 5 - got);
                Check.Equal("AFTER", Encoding.ASCII.GetString(buffer, 0, 5), "the port works after a cancel");
                using (var cancel = new CancellationTokenSource())
                {
                    cancel.Cancel();
                    Check.Throws<OperationCanceledException>(() => port.WriteAsync(buffer, 0, 5, cancel.Token), "a cancelled WriteAsync");
                }
                port.BaseStream.Write(Encoding.ASCII.GetBytes("s"), 0, 1);
                Check.Within(port.BaseStream.ReadAsync(buffer, 0, 1), 5000, "BaseStream.ReadAsync");
                Check.Equal((byte)'S', buffer[0], "BaseStream");
            }
        }

        [Scenario("pty")]
        private static void CloseEndsABlockedReadAtOnceFromAnotherThreadOrAHandler()
        {
            SerialPort port = Open();
            port.ReadTimeout = SerialPort.InfiniteTimeout;
            var reader = Task.Run(() => port.ReadByte());
            Thread.Sleep(300);
            var clock = Stopwatch.StartNew();
            port.Dispose();
            Check.True(SpinWait.SpinUntil(() => reader.IsCompleted, 2000), "the blocked read ended");
            var e = Check.Throws<QuorvelException>(() => reader.GetAwaiter().GetResult(), "the blocked read");
            Check.True(clock.ElapsedMilliseconds < 500, "the read ended within 0.5 s (" + clock.ElapsedMilliseconds + " ms)");
            Check.Equal(995, e.NativeErrorCode, "ERROR_OPERATION_ABORTED");
            Check.Throws<InvalidOperationException>(() => port.ReadByte(), "a read after Close");
            port.Open();  // as System.IO.Ports allows
            Task<int> pending = port.ReadAsync(new byte[4], 0, 4);
            Thread.Sleep(200);
            port.Close();
            var aborted = Check.Throws<QuorvelException>(() => pending, "a ReadAsync that Close ended");
            Check.Equal(995, aborted.NativeErrorCode, "ERROR_OPERATION_ABORTED");
            port.Open();
            var closed = new ManualResetEventSlim();
            port.DataReceived += (s, a) =>
            {
                ((SerialPort)s).Close();
                closed.Set();
            };
            port.Write("x");
            Check.True(closed.Wait(5000), "a handler closed its port");
            Check.True(!port.IsOpen, "the port is closed");
            port.Open();
            port.Write("y");
            Check.Equal((int)'Y', port.ReadByte(), "the port opens again after a close from its handler");

            // A discard while a read waits on another thread goes through.
            port.ReadTimeout = SerialPort.InfiniteTimeout;
            var waiting = Task.Run(() => port.ReadByte());
            Thread.Sleep(200);
            Check.True(Task.Run(() => port.DiscardInBuffer()).Wait(2000), "DiscardInBuffer while a read waits");
            port.Write("d");
            Check.Equal((int)'D', Check.Within(waiting, 5000, "the waiting read"), "the byte after the discard");
            port.Close();

            // A handler reading when another thread closes the port: what its
            // calls meet ends in the handler's thread, not the process.
            var busy = new ManualResetEventSlim();
            using (SerialPort racing = Open())
            {
                racing.DataReceived += (s, a) =>
                {
                    busy.Set();
                    for (int i = 0; i < 500; i++) ((SerialPort)s).ReadExisting();
                };
                for (int round = 0; round < 20; round++)
                {
                    if (!racing.IsOpen) racing.Open();
                    busy.Reset();
                    racing.Write("racing");
                    Check.True(busy.Wait(5000), "the handler reads, round " + round);
                    racing.Close();
                }
            }
        }

        [Scenario("pty")]
        private static void BadArgumentsThrowBeforeAnyCallAndDriverRefusalsCarryTheirCode()
        {
            var port = new SerialPort(Environment.GetEnvironmentVariable("QV_PTY_PORT"));
            Check.Throws<ArgumentOutOfRangeException>(() => port.BaudRate = 0, "BaudRate 0");
            Check.Throws<ArgumentOutOfRangeException>(() => port.DataBits = 9, "DataBits 9");
            Check.Throws<ArgumentOutOfRangeException>(() => port.StopBits = StopBits.None, "StopBits.None");
            Check.Throws<ArgumentOutOfRangeException>(() => port.Handshake = Handshake.RequestToSendXOnXOff, "both handshakes");
            Check.Throws<ArgumentOutOfRangeException>(() => port.ReadTimeout = -2, "ReadTimeout -2");
            Check.Throws<ArgumentOutOfRangeException>(() => port.ReceivedBytesThreshold = 0, "threshold 0");
            Check.Throws<ArgumentException>(() => port.NewLine = "", "an empty NewLine");
            Check.Throws<ArgumentNullException>(() => port.PortName = null, "no name");
            Check.Throws<InvalidOperationException>(() => port.Write("x"), "a write before Open");
            port.Open();
            Check.Throws<InvalidOperationException>(() => port.PortName = "COM1", "a new name while open");
            Check.Throws<ArgumentNullException>(() => port.Write((byte[])null, 0, 1), "a null buffer");
            Check.Throws<ArgumentException>(() => port.Read(new byte[4], 2, 3), "a range past the buffer");
            Check.Throws<InvalidOperationException>(() => port.Open(), "a second Open");
            // This driver has no modem lines: the lines refuse with its error, and a break works.
            var refused = Check.Throws<QuorvelException>(() => port.DtrEnable = true, "DTR on a driver without it");
            Check.True(refused is System.ComponentModel.Win32Exception && refused.NativeErrorCode != 0, "a Win32Exception with the code");
            Check.Throws<QuorvelException>(() => { bool cts = port.CtsHolding; }, "CTS on a driver without it");
            port.SendBreak(20);
            port.Close();
            // DTR the program set before Open is applied as the port opens: here the driver refuses it.
            port.DtrEnable = true;
            Check.Throws<QuorvelException>(() => port.Open(), "Open with a DTR the driver cannot set");
            Check.True(!port.IsOpen, "a failed Open leaves the port closed");

            var missing = Check.Throws<QuorvelException>(() => new SerialPort("COM254").Open(), "a port that does not exist");
            Check.True(missing.ErrorName != null && missing.ErrorName.StartsWith("ERROR_"), "the error's name: " + missing.Message);
        }
    }
}
