using System;
using System.IO;
using System.Net;
using System.Net.Sockets;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Quorvel
{
    /// <summary>A connection that carries bytes both ways: TCP or Bluetooth RFCOMM. One read may run
    /// beside one write. Events are raised on thread-pool threads, one after the other; the
    /// connection watches for them from the first handler attached (or the first ReceiveAsync).</summary>
    public abstract class Connection : IDisposable, IEventSink
    {
        internal readonly Channel Channel;
        private EventHandler _dataReceived, _disconnected;
        private Stream _stream;

        internal Connection(QvHandle handle)
        {
            Channel = new Channel(handle, this);
        }

        /// <summary>Data arrived (raised again while data waits unread after a read).</summary>
        public event EventHandler DataReceived
        {
            add { _dataReceived += value; Channel.Listen(); }
            remove { _dataReceived -= value; }
        }

        /// <summary>The peer closed the connection, or it broke; what it sent before can still be read.</summary>
        public event EventHandler Disconnected
        {
            add { _disconnected += value; Channel.Listen(); }
            remove { _disconnected -= value; }
        }

        /// <summary>Whether Dispose has closed the connection.</summary>
        public bool IsClosed => Channel.Closed;

        /// <summary>Bytes received and not yet read.</summary>
        public int Available
        {
            get
            {
                int toRead, toSend;
                Channel.Counts(out toRead, out toSend);
                return toRead;
            }
        }

        /// <summary>Receives what has arrived, at most count bytes, waiting at most timeoutMs
        /// (-1: no limit) for the first: the count, or 0 once the peer has closed and all is read.
        /// A limit that runs out throws TimeoutException.</summary>
        public int Receive(byte[] buffer, int offset, int count, int timeoutMs = Timeout.Infinite)
        {
            Errors.Range(buffer, offset, count);
            int got = Channel.ReceiveSome(buffer, offset, count, Errors.Limit(timeoutMs, nameof(timeoutMs)));
            if (got < 0) throw Errors.Of(Status.WaitTimeout, "qv_recv_some");
            return got;
        }

        /// <summary>Receive without blocking a thread, cancellable; the connection stays usable
        /// after a cancel or a time out.</summary>
        public Task<int> ReceiveAsync(byte[] buffer, int offset, int count, int timeoutMs = Timeout.Infinite,
                                      CancellationToken cancellationToken = default(CancellationToken))
        {
            Errors.Range(buffer, offset, count);
            Errors.Limit(timeoutMs, nameof(timeoutMs));
            return Channel.ReceiveSomeAsync(buffer, offset, count, timeoutMs, cancellationToken);
        }

        /// <summary>Sends every byte within timeoutMs for the whole call (-1: no limit).</summary>
        public void Send(byte[] buffer, int offset, int count, int timeoutMs = Timeout.Infinite)
        {
            Errors.Range(buffer, offset, count);
            Channel.Send(buffer, offset, count, Errors.Limit(timeoutMs, nameof(timeoutMs)));
        }

        /// <summary>Sends every byte.</summary>
        public void Send(byte[] data) => Send(data ?? throw new ArgumentNullException(nameof(data)), 0, data.Length);

        /// <summary>Sends text as UTF-8.</summary>
        public void Send(string text) => Send(Encoding.UTF8.GetBytes(text ?? throw new ArgumentNullException(nameof(text))));

        /// <summary>Sends every byte from a pool thread, cancellable (what went stays sent).</summary>
        public Task SendAsync(byte[] buffer, int offset, int count, int timeoutMs = Timeout.Infinite,
                              CancellationToken cancellationToken = default(CancellationToken))
        {
            Errors.Range(buffer, offset, count);
            Errors.Limit(timeoutMs, nameof(timeoutMs));
            return Channel.SendAsync(buffer, offset, count, timeoutMs, cancellationToken);
        }

        /// <summary>The connection as a Stream (Read returns 0 at the end; ReadTimeout and
        /// WriteTimeout apply; disposing it closes the connection).</summary>
        public Stream GetStream() => _stream ?? (_stream = new ConnectionStream(this));

        /// <summary>Closes the connection at once: calls under way on other threads end
        /// (QuorvelException with ERROR_OPERATION_ABORTED), no event is raised afterwards.</summary>
        public void Dispose()
        {
            Channel.Close();
            GC.SuppressFinalize(this);
        }

        /// <summary>Closes the connection.</summary>
        public void Close() => Dispose();

        void IEventSink.OnEvent(Channel ch, uint evt, uint detail)
        {
            if (ch.Closed) return;
            if (evt == EventCode.DataReady) _dataReceived?.Invoke(this, EventArgs.Empty);
            else if (evt == EventCode.Closed) _disconnected?.Invoke(this, EventArgs.Empty);
        }

        internal static IPEndPoint EndPoint(Channel channel, bool peer)
        {
            var text = new StringBuilder(64);
            uint length, port;
            uint status = peer ? NativeMethods.qv_peer_address(channel.Handle, text, (uint)text.Capacity, out length, out port)
                               : NativeMethods.qv_local_address(channel.Handle, text, (uint)text.Capacity, out length, out port);
            Errors.Check(status, peer ? "qv_peer_address" : "qv_local_address");
            return new IPEndPoint(IPAddress.Parse(text.ToString(0, (int)length)), (int)port);
        }

        internal static string AddressText(Channel channel, bool peer, out int port)
        {
            var text = new StringBuilder(64);
            uint length, p;
            uint status = peer ? NativeMethods.qv_peer_address(channel.Handle, text, (uint)text.Capacity, out length, out p)
                               : NativeMethods.qv_local_address(channel.Handle, text, (uint)text.Capacity, out length, out p);
            Errors.Check(status, peer ? "qv_peer_address" : "qv_local_address");
            port = (int)p;
            return text.ToString(0, (int)length);
        }

        private sealed class ConnectionStream : Stream
        {
            private readonly Connection _c;
            internal ConnectionStream(Connection c) { _c = c; }
            public override bool CanRead => !_c.IsClosed;
            public override bool CanWrite => !_c.IsClosed;
            public override bool CanSeek => false;
            public override bool CanTimeout => true;
            public override int ReadTimeout { get; set; } = Timeout.Infinite;
            public override int WriteTimeout { get; set; } = Timeout.Infinite;
            public override long Length => throw new NotSupportedException();
            public override long Position { get => throw new NotSupportedException(); set => throw new NotSupportedException(); }
            public override void Flush() { }
            public override int Read(byte[] buffer, int offset, int count) => _c.Receive(buffer, offset, count, ReadTimeout);
            public override void Write(byte[] buffer, int offset, int count) => _c.Send(buffer, offset, count, WriteTimeout);
            public override Task<int> ReadAsync(byte[] buffer, int offset, int count, CancellationToken cancellationToken) =>
                _c.ReceiveAsync(buffer, offset, count, ReadTimeout, cancellationToken);
            public override Task WriteAsync(byte[] buffer, int offset, int count, CancellationToken cancellationToken) =>
                _c.SendAsync(buffer, offset, count, WriteTimeout, cancellationToken);
            public override long Seek(long offset, SeekOrigin origin) => throw new NotSupportedException();
            public override void SetLength(long value) => throw new NotSupportedException();
            protected override void Dispose(bool disposing)
            {
                if (disposing) _c.Dispose();
                base.Dispose(disposing);
            }
        }
    }

    /// <summary>A TCP connection (IPv4).</summary>
    public sealed class TcpConnection : Connection
    {
        internal TcpConnection(QvHandle handle) : base(handle) { }

        /// <summary>Connects to a numeric IPv4 address (use Discovery.Resolve for a name) within timeoutMs.</summary>
        public static TcpConnection Connect(string address, int port, int timeoutMs = 10000)
        {
            if (address == null) throw new ArgumentNullException(nameof(address));
            if (port < 1 || port > 65535) throw new ArgumentOutOfRangeException(nameof(port));
            uint limit = Errors.Limit(timeoutMs, nameof(timeoutMs));
            IntPtr made;
            return new TcpConnection(QvHandle.Made(NativeMethods.qv_tcp_connect(address, (uint)port, limit, out made), made, "qv_tcp_connect"));
        }

        /// <summary>Connects to an end point within timeoutMs.</summary>
        public static TcpConnection Connect(IPEndPoint endPoint, int timeoutMs = 10000)
        {
            if (endPoint == null) throw new ArgumentNullException(nameof(endPoint));
            if (endPoint.AddressFamily != AddressFamily.InterNetwork) throw new ArgumentException("IPv4 only", nameof(endPoint));
            return Connect(endPoint.Address.ToString(), endPoint.Port, timeoutMs);
        }

        /// <summary>Connects from a pool thread; a cancel abandons the attempt (its connection, if one
        /// comes, is closed).</summary>
        public static Task<TcpConnection> ConnectAsync(string address, int port, int timeoutMs = 10000,
                                                       CancellationToken cancellationToken = default(CancellationToken))
        {
            if (address == null) throw new ArgumentNullException(nameof(address));
            if (port < 1 || port > 65535) throw new ArgumentOutOfRangeException(nameof(port));
            Errors.Limit(timeoutMs, nameof(timeoutMs));
            return Abandonable.Run(() => Connect(address, port, timeoutMs), cancellationToken);
        }

        /// <summary>The local end.</summary>
        public IPEndPoint LocalEndPoint => EndPoint(Channel, false);
        /// <summary>The peer's end.</summary>
        public IPEndPoint RemoteEndPoint => EndPoint(Channel, true);
    }

    /// <summary>Accepts TCP (or RFCOMM) connections.</summary>
    public abstract class Server<T> : IDisposable, IEventSink where T : Connection
    {
        internal readonly Channel Channel;
        private EventHandler _waiting;

        internal Server(QvHandle handle)
        {
            Channel = new Channel(handle, this);
        }

        /// <summary>A connection waits to be accepted (raised again while one waits).</summary>
        public event EventHandler ConnectionWaiting
        {
            add { _waiting += value; Channel.Listen(); }
            remove { _waiting -= value; }
        }

        internal abstract T Wrap(QvHandle handle);

        /// <summary>Accepts a connection, waiting at most timeoutMs (TimeoutException).</summary>
        public T Accept(int timeoutMs = Timeout.Infinite)
        {
            IntPtr made;
            uint status = NativeMethods.qv_accept(Channel.Handle, Errors.Limit(timeoutMs, nameof(timeoutMs)), out made);
            return Wrap(QvHandle.Made(status, made, "qv_accept"));
        }

        /// <summary>Accepts a connection without blocking a thread, cancellable.</summary>
        public async Task<T> AcceptAsync(int timeoutMs = Timeout.Infinite, CancellationToken cancellationToken = default(CancellationToken))
        {
            Errors.Limit(timeoutMs, nameof(timeoutMs));
            int start = Environment.TickCount;
            for (;;)
            {
                cancellationToken.ThrowIfCancellationRequested();
                Task wake = Channel.WaitAsync(Channel.Remaining(start, timeoutMs), cancellationToken);
                IntPtr made;
                uint status = NativeMethods.qv_accept(Channel.Handle, 0, out made);
                if (status != Status.WaitTimeout) return Wrap(QvHandle.Made(status, made, "qv_accept"));
                if (Channel.Remaining(start, timeoutMs) == 0) throw Errors.Of(status, "qv_accept");
                await wake.ConfigureAwait(false);
            }
        }

        /// <summary>Stops listening; an Accept under way ends.</summary>
        public void Dispose() => Channel.Close();

        void IEventSink.OnEvent(Channel ch, uint evt, uint detail)
        {
            if (!ch.Closed && evt == EventCode.ConnectionWaiting) _waiting?.Invoke(this, EventArgs.Empty);
        }
    }

    /// <summary>Listens for TCP connections (IPv4).</summary>
    public sealed class TcpServer : Server<TcpConnection>
    {
        private TcpServer(QvHandle handle) : base(handle) { }

        /// <summary>Listens on a local address (null: every interface) and port (0: the system chooses).</summary>
        public static TcpServer Listen(string address, int port)
        {
            if (port < 0 || port > 65535) throw new ArgumentOutOfRangeException(nameof(port));
            IntPtr made;
            return new TcpServer(QvHandle.Made(NativeMethods.qv_tcp_listen(address, (uint)port, out made), made, "qv_tcp_listen"));
        }

        /// <summary>The address and port listened on.</summary>
        public IPEndPoint LocalEndPoint => Connection.EndPoint(Channel, false);

        internal override TcpConnection Wrap(QvHandle handle) => new TcpConnection(handle);
    }

    /// <summary>A datagram and where it came from.</summary>
    public sealed class UdpDatagram
    {
        internal UdpDatagram(byte[] data, IPEndPoint from) { Data = data; RemoteEndPoint = from; }
        /// <summary>The datagram's bytes.</summary>
        public byte[] Data { get; }
        /// <summary>Its sender.</summary>
        public IPEndPoint RemoteEndPoint { get; }
    }

    /// <summary>A UDP socket bound on every interface.</summary>
    public sealed class UdpSocket : IDisposable, IEventSink
    {
        private readonly Channel _channel;
        private EventHandler _dataReceived;

        private UdpSocket(QvHandle handle)
        {
            _channel = new Channel(handle, this);
        }

        /// <summary>Binds a port (0: the system chooses).</summary>
        public static UdpSocket Open(int port = 0)
        {
            if (port < 0 || port > 65535) throw new ArgumentOutOfRangeException(nameof(port));
            IntPtr made;
            return new UdpSocket(QvHandle.Made(NativeMethods.qv_udp_open((uint)port, out made), made, "qv_udp_open"));
        }

        /// <summary>A datagram waits.</summary>
        public event EventHandler DataReceived
        {
            add { _dataReceived += value; _channel.Listen(); }
            remove { _dataReceived -= value; }
        }

        /// <summary>The port bound.</summary>
        public int LocalPort
        {
            get
            {
                int port;
                Connection.AddressText(_channel, false, out port);
                return port;
            }
        }

        /// <summary>Sends one datagram (0 to 65507 bytes) to a numeric IPv4 address.</summary>
        public unsafe void SendTo(byte[] data, string address, int port)
        {
            if (data == null) throw new ArgumentNullException(nameof(data));
            if (address == null) throw new ArgumentNullException(nameof(address));
            if (data.Length > 65507) throw new ArgumentOutOfRangeException(nameof(data), "a datagram holds at most 65507 bytes");
            if (port < 1 || port > 65535) throw new ArgumentOutOfRangeException(nameof(port));
            fixed (byte* p = data)
            {
                Errors.Check(NativeMethods.qv_udp_send_to(_channel.Handle, address, (uint)port, p, (uint)data.Length), "qv_udp_send_to");
            }
        }

        /// <summary>Sends one datagram to an end point.</summary>
        public void SendTo(byte[] data, IPEndPoint to)
        {
            if (to == null) throw new ArgumentNullException(nameof(to));
            SendTo(data, to.Address.ToString(), to.Port);
        }

        /// <summary>Receives one datagram, waiting at most timeoutMs (TimeoutException).</summary>
        public UdpDatagram Receive(int timeoutMs = Timeout.Infinite)
        {
            UdpDatagram d = TryReceive(Errors.Limit(timeoutMs, nameof(timeoutMs)));
            if (d == null) throw Errors.Of(Status.WaitTimeout, "qv_udp_recv_from");
            return d;
        }

        /// <summary>Receives one datagram without blocking a thread, cancellable.</summary>
        public async Task<UdpDatagram> ReceiveAsync(int timeoutMs = Timeout.Infinite,
                                                    CancellationToken cancellationToken = default(CancellationToken))
        {
            Errors.Limit(timeoutMs, nameof(timeoutMs));
            int start = Environment.TickCount;
            for (;;)
            {
                cancellationToken.ThrowIfCancellationRequested();
                Task wake = _channel.WaitAsync(Channel.Remaining(start, timeoutMs), cancellationToken);
                UdpDatagram d = TryReceive(0);
                if (d != null) return d;
                if (Channel.Remaining(start, timeoutMs) == 0) throw Errors.Of(Status.WaitTimeout, "qv_udp_recv_from");
                await wake.ConfigureAwait(false);
            }
        }

        private unsafe UdpDatagram TryReceive(uint timeout)
        {
            var buffer = new byte[65536];
            var sender = new StringBuilder(16);
            uint length, port, status;
            fixed (byte* p = buffer)
            {
                status = NativeMethods.qv_udp_recv_from(_channel.Handle, p, (uint)buffer.Length, timeout, out length,
                                                        sender, (uint)sender.Capacity, out port);
            }
            if (status == Status.WaitTimeout) return null;
            Errors.Check(status, "qv_udp_recv_from");
            Array.Resize(ref buffer, (int)length);
            return new UdpDatagram(buffer, new IPEndPoint(IPAddress.Parse(sender.ToString()), (int)port));
        }

        /// <summary>Closes the socket; a Receive under way ends.</summary>
        public void Dispose() => _channel.Close();

        void IEventSink.OnEvent(Channel ch, uint evt, uint detail)
        {
            if (!ch.Closed && evt == EventCode.DataReady) _dataReceived?.Invoke(this, EventArgs.Empty);
        }
    }

    // A blocking call on a pool thread whose caller may stop waiting: what the
    // call makes after a cancel is disposed of.
    internal static class Abandonable
    {
        internal static Task<T> Run<T>(Func<T> call, CancellationToken cancel) where T : class, IDisposable
        {
            cancel.ThrowIfCancellationRequested();
            Task<T> work = Task.Run(call);
            if (!cancel.CanBeCanceled) return work;
            var result = new TaskCompletionSource<T>(TaskCreationOptions.RunContinuationsAsynchronously);
            CancellationTokenRegistration registration = cancel.Register(() => result.TrySetCanceled(cancel));
            work.ContinueWith(t =>
            {
                registration.Dispose();
                if (t.IsFaulted) result.TrySetException(t.Exception.InnerExceptions);
                else if (t.IsCanceled) result.TrySetCanceled();
                else if (!result.TrySetResult(t.Result)) t.Result?.Dispose();
            }, TaskScheduler.Default);
            return result.Task;
        }
    }
}
