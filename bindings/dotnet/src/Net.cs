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
    /// connection watches for them from the first handler attached (or the first ReceiveAsync).
    /// Calls after Dispose throw ObjectDisposedException; a call that Dispose ends throws a
    /// QuorvelException with ERROR_OPERATION_ABORTED (995).</summary>
    public abstract class Connection : IDisposable, IEventSink
    {
        internal readonly Channel Channel;
        private EventHandler _dataReceived, _disconnected;
        private Stream _stream;
        private int _disconnectTold;

        internal Connection(QvHandle handle)
        {
            Channel = new Channel(handle, this, GetType().FullName);
        }

        /// <summary>Bytes arrived: raised once for each arrival of new bytes, not again for bytes
        /// left unread (read what waits in the handler, as with System.IO.Ports).</summary>
        public event EventHandler DataReceived
        {
            add { _dataReceived += value; Channel.Listen(); }
            remove { _dataReceived -= value; }
        }

        /// <summary>The peer closed the connection, or it broke; raised once. What the peer sent
        /// before can still be read (Receive returns it, then 0). While a handler is attached the
        /// connection reads ahead up to 64 KiB of what arrives (Available counts it), so the close is
        /// told even while the program has not read, as long as no more than that waits unread:
        /// the system tells of a close only once the bytes before it have been taken.</summary>
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
                Channel.Enter();
                // The read-ahead first: bytes it takes meanwhile are then
                // counted in neither, never in both (a count may run low).
                int ahead = Channel.ReadAheadCount;
                int toRead, toSend;
                Channel.Counts(out toRead, out toSend);
                return toRead + ahead;
            }
        }

        /// <summary>Receives what has arrived, at most count bytes, blocking the calling thread for
        /// at most timeoutMs (-1: no limit) until the first byte comes: the count, or 0 once the peer
        /// has closed and all is read (as Socket.Receive). A limit that runs out throws
        /// TimeoutException; Dispose from another thread ends the wait (QuorvelException with
        /// ERROR_OPERATION_ABORTED).</summary>
        public int Receive(byte[] buffer, int offset, int count, int timeoutMs = Timeout.Infinite)
        {
            Errors.Range(buffer, offset, count);
            uint limit = Errors.Limit(timeoutMs, nameof(timeoutMs));
            Channel.Enter();
            int got = Channel.ReceiveSome(buffer, offset, count, limit);
            if (got < 0) throw Errors.TimedOut("read", Channel.Name);
            return got;
        }

        /// <summary>Receive without blocking a thread, cancellable; the connection stays usable
        /// after a cancel or a time out.</summary>
        public Task<int> ReceiveAsync(byte[] buffer, int offset, int count, int timeoutMs = Timeout.Infinite,
                                      CancellationToken cancellationToken = default(CancellationToken))
        {
            Errors.Range(buffer, offset, count);
            Errors.Limit(timeoutMs, nameof(timeoutMs));
            Channel.Enter();
            return Channel.ReceiveSomeAsync(buffer, offset, count, timeoutMs, cancellationToken);
        }

        /// <summary>Sends every byte within timeoutMs for the whole call (-1: no limit).</summary>
        public void Send(byte[] buffer, int offset, int count, int timeoutMs = Timeout.Infinite)
        {
            Errors.Range(buffer, offset, count);
            uint limit = Errors.Limit(timeoutMs, nameof(timeoutMs));
            Channel.Enter();
            Channel.Send(buffer, offset, count, limit);
        }

        /// <summary>Sends every byte.</summary>
        public void Send(byte[] data) => Send(data ?? throw new ArgumentNullException(nameof(data)), 0, data.Length);

        /// <summary>Sends text as UTF-8.</summary>
        public void Send(string text) => Send(Encoding.UTF8.GetBytes(text ?? throw new ArgumentNullException(nameof(text))));

        /// <summary>Sends every byte, cancellable (what went stays sent). The caller's thread does
        /// not wait: the write runs on a thread-pool thread, which it holds until the last byte is
        /// handed to the system, checking for a cancel every 100 ms.</summary>
        public Task SendAsync(byte[] buffer, int offset, int count, int timeoutMs = Timeout.Infinite,
                              CancellationToken cancellationToken = default(CancellationToken))
        {
            Errors.Range(buffer, offset, count);
            Errors.Limit(timeoutMs, nameof(timeoutMs));
            Channel.Enter();
            return Channel.SendAsync(buffer, offset, count, timeoutMs, cancellationToken);
        }

        /// <summary>The connection as a Stream (Read returns 0 at the end; ReadTimeout and
        /// WriteTimeout apply; disposing it closes the connection).</summary>
        public Stream GetStream()
        {
            Channel.Enter();
            return _stream ?? (_stream = new ConnectionStream(this));
        }

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
            try
            {
                if (ch.Closed) return;
                if (evt == EventCode.DataReady)
                {
                    bool ended = _disconnected != null && ch.ReadAhead();
                    int toRead;
                    long arrived, discards;
                    if (_dataReceived != null && ch.Arrived(out toRead, out arrived, out discards))
                    {
                        ch.MarkTold(arrived, discards);
                        if (toRead + ch.ReadAheadCount > 0 && !ch.Closed) _dataReceived?.Invoke(this, EventArgs.Empty);
                    }
                    if (ended) TellDisconnected(ch);
                }
                else if (evt == EventCode.Closed)
                {
                    TellDisconnected(ch);
                }
            }
            catch (Exception e) when ((e is QuorvelException || e is ObjectDisposedException) && ch.Closed)
            {
                // closed while the event was told (by the handler's own calls, too)
            }
        }

        private void TellDisconnected(Channel ch)
        {
            if (!ch.Closed && Interlocked.Exchange(ref _disconnectTold, 1) == 0) _disconnected?.Invoke(this, EventArgs.Empty);
        }

        internal static IPEndPoint EndPoint(Channel channel, bool peer)
        {
            int port;
            string text = AddressText(channel, peer, out port);
            return new IPEndPoint(IPAddress.Parse(text), port);
        }

        internal static string AddressText(Channel channel, bool peer, out int port)
        {
            channel.Enter();
            var text = new StringBuilder(64);
            uint length, p;
            uint status;
            try
            {
                status = peer ? NativeMethods.qv_peer_address(channel.Handle, text, (uint)text.Capacity, out length, out p)
                              : NativeMethods.qv_local_address(channel.Handle, text, (uint)text.Capacity, out length, out p);
            }
            catch (ObjectDisposedException)
            {
                throw Errors.Aborted(peer ? "qv_peer_address" : "qv_local_address");
            }
            Errors.Check(channel.Ended(status), peer ? "qv_peer_address" : "qv_local_address");
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
        private string _name;

        internal TcpConnection(QvHandle handle) : base(handle)
        {
            Channel.Describe = () => _name ?? (_name = "the connection to " + RemoteEndPoint);
        }

        /// <summary>Connects to an IPv4 address or a host name ("localhost", resolved to its first
        /// IPv4 address) within timeoutMs.</summary>
        public static TcpConnection Connect(string address, int port, int timeoutMs = 10000)
        {
            if (address == null) throw new ArgumentNullException(nameof(address));
            if (port < 1 || port > 65535) throw new ArgumentOutOfRangeException(nameof(port));
            uint limit = Errors.Limit(timeoutMs, nameof(timeoutMs));
            string numeric = Hosts.Numeric(address, nameof(address));
            IntPtr made;
            uint status = NativeMethods.qv_tcp_connect(numeric, (uint)port, limit, out made);
            return new TcpConnection(QvHandle.Made(status, made, "qv_tcp_connect", address + ":" + port));
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
            Channel = new Channel(handle, this, GetType().FullName);
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
            uint limit = Errors.Limit(timeoutMs, nameof(timeoutMs));
            Channel.Enter();
            return TryAccept(limit);
        }

        /// <summary>Accepts a connection without blocking a thread, cancellable.</summary>
        public async Task<T> AcceptAsync(int timeoutMs = Timeout.Infinite, CancellationToken cancellationToken = default(CancellationToken))
        {
            Errors.Limit(timeoutMs, nameof(timeoutMs));
            Channel.Enter();
            int start = Environment.TickCount;
            for (;;)
            {
                cancellationToken.ThrowIfCancellationRequested();
                Task wake = Channel.WaitAsync(Channel.Remaining(start, timeoutMs), cancellationToken);
                T accepted = TryAccept(0);
                if (accepted != null) return accepted;
                if (Channel.Remaining(start, timeoutMs) == 0) throw Errors.TimedOut("accept", Channel.Name);
                await wake.ConfigureAwait(false);
            }
        }

        // A connection, null when none came within timeout (0: none waits),
        // TimeoutException when a limit of the caller's ran out.
        private T TryAccept(uint timeout)
        {
            IntPtr made;
            uint status;
            try
            {
                status = NativeMethods.qv_accept(Channel.Handle, timeout, out made);
            }
            catch (ObjectDisposedException)
            {
                throw Errors.Aborted("qv_accept");
            }
            status = Channel.Ended(status);
            if (status == Status.WaitTimeout && timeout == 0) return null;
            return Wrap(QvHandle.Made(status, made, "qv_accept", Channel.Name));
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
        private TcpServer(QvHandle handle) : base(handle)
        {
            Channel.Describe = () => "the server on " + LocalEndPoint;
        }

        /// <summary>Listens on a local address (an IPv4 address or a host name; null or "": every
        /// interface) and port (0: the system chooses).</summary>
        public static TcpServer Listen(string address, int port)
        {
            if (port < 0 || port > 65535) throw new ArgumentOutOfRangeException(nameof(port));
            if (!string.IsNullOrEmpty(address)) address = Hosts.Numeric(address, nameof(address));
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

    /// <summary>A UDP socket bound on every interface. Calls after Dispose throw
    /// ObjectDisposedException; a Receive that Dispose ends throws a QuorvelException with
    /// ERROR_OPERATION_ABORTED (995).</summary>
    public sealed class UdpSocket : IDisposable, IEventSink
    {
        private readonly Channel _channel;
        private EventHandler _dataReceived;
        private long _toldAt = -1;  // the receive count when DataReceived was last raised

        private UdpSocket(QvHandle handle)
        {
            _channel = new Channel(handle, this, typeof(UdpSocket).FullName);
            _channel.Describe = () => "the UDP socket on port " + LocalPort;
        }

        /// <summary>Binds a port (0: the system chooses).</summary>
        public static UdpSocket Open(int port = 0)
        {
            if (port < 0 || port > 65535) throw new ArgumentOutOfRangeException(nameof(port));
            IntPtr made;
            return new UdpSocket(QvHandle.Made(NativeMethods.qv_udp_open((uint)port, out made), made, "qv_udp_open"));
        }

        /// <summary>A datagram arrived: raised once, and again after each receive while datagrams
        /// still wait (the system does not tell how many wait, so datagrams that come while one waits
        /// unread are told once it is received). A handler that takes every datagram waiting may at
        /// times be raised once more and find none.</summary>
        public event EventHandler DataReceived
        {
            add { _dataReceived += value; _channel.Listen(); }
            remove { _dataReceived -= value; }
        }

        /// <summary>The local port the socket is bound to: the one given to Open, or the one the
        /// system chose for Open(0); a peer answers to it.</summary>
        public int LocalPort
        {
            get
            {
                int port;
                Connection.AddressText(_channel, false, out port);
                return port;
            }
        }

        /// <summary>Sends one datagram (0 to 65507 bytes) to an IPv4 address or a host name.</summary>
        public unsafe void SendTo(byte[] data, string address, int port)
        {
            if (data == null) throw new ArgumentNullException(nameof(data));
            if (address == null) throw new ArgumentNullException(nameof(address));
            if (data.Length > 65507) throw new ArgumentOutOfRangeException(nameof(data), "a datagram holds at most 65507 bytes");
            if (port < 1 || port > 65535) throw new ArgumentOutOfRangeException(nameof(port));
            _channel.Enter();
            string numeric = Hosts.Numeric(address, nameof(address));
            uint status;
            try
            {
                fixed (byte* p = data)
                {
                    status = NativeMethods.qv_udp_send_to(_channel.Handle, numeric, (uint)port, p, (uint)data.Length);
                }
            }
            catch (ObjectDisposedException)
            {
                throw Errors.Aborted("qv_udp_send_to");
            }
            Errors.Check(_channel.Ended(status), "qv_udp_send_to");
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
            uint limit = Errors.Limit(timeoutMs, nameof(timeoutMs));
            _channel.Enter();
            UdpDatagram d = TryReceive(limit);
            if (d == null) throw Errors.TimedOut("read", _channel.Name);
            return d;
        }

        /// <summary>Receives one datagram without blocking a thread, cancellable.</summary>
        public async Task<UdpDatagram> ReceiveAsync(int timeoutMs = Timeout.Infinite,
                                                    CancellationToken cancellationToken = default(CancellationToken))
        {
            Errors.Limit(timeoutMs, nameof(timeoutMs));
            _channel.Enter();
            int start = Environment.TickCount;
            for (;;)
            {
                cancellationToken.ThrowIfCancellationRequested();
                Task wake = _channel.WaitAsync(Channel.Remaining(start, timeoutMs), cancellationToken);
                UdpDatagram d = TryReceive(0);
                if (d != null) return d;
                if (Channel.Remaining(start, timeoutMs) == 0) throw Errors.TimedOut("read", _channel.Name);
                await wake.ConfigureAwait(false);
            }
        }

        private unsafe UdpDatagram TryReceive(uint timeout)
        {
            var buffer = new byte[65536];
            var sender = new StringBuilder(16);
            uint length, port, status;
            try
            {
                fixed (byte* p = buffer)
                {
                    status = NativeMethods.qv_udp_recv_from(_channel.Handle, p, (uint)buffer.Length, timeout, out length,
                                                            sender, (uint)sender.Capacity, out port);
                }
            }
            catch (ObjectDisposedException)
            {
                throw Errors.Aborted("qv_udp_recv_from");
            }
            status = _channel.Ended(status);
            if (status == Status.WaitTimeout)
            {
                // Nothing waits: what comes next is told, even if an event
                // that came as the last datagram was taken told of that one.
                Interlocked.Exchange(ref _toldAt, -1);
                return null;
            }
            Errors.Check(status, "qv_udp_recv_from");
            _channel.Received();
            Array.Resize(ref buffer, (int)length);
            return new UdpDatagram(buffer, new IPEndPoint(IPAddress.Parse(sender.ToString()), (int)port));
        }

        /// <summary>Closes the socket; a Receive under way ends.</summary>
        public void Dispose() => _channel.Close();

        void IEventSink.OnEvent(Channel ch, uint evt, uint detail)
        {
            if (ch.Closed || evt != EventCode.DataReady || _dataReceived == null) return;
            // An event that came before the last receive may tell of what that
            // receive took: the library tells again after a receive while
            // datagrams wait. Otherwise once until the next receive (or a
            // receive that finds nothing).
            long stamp = ch.DataStamp;
            if (stamp != ch.Receives || Interlocked.Exchange(ref _toldAt, stamp) == stamp) return;
            try
            {
                _dataReceived?.Invoke(this, EventArgs.Empty);
            }
            catch (Exception e) when ((e is QuorvelException || e is ObjectDisposedException) && ch.Closed)
            {
                // closed by or while the handler ran
            }
        }
    }

    internal static class Hosts
    {
        // IPv4 text for an address or a host name, which the library resolves
        // to its first IPv4 address (WSAHOST_NOT_FOUND when it has none).
        internal static string Numeric(string address, string parameter)
        {
            IPAddress ip;
            if (IPAddress.TryParse(address, out ip))
            {
                if (ip.AddressFamily != AddressFamily.InterNetwork)
                    throw new ArgumentException("an IPv4 address or a host name", parameter);
                return address;
            }
            if (address.Trim().Length == 0) throw new ArgumentException("an IPv4 address or a host name", parameter);
            return Discovery.Resolve(address);
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
