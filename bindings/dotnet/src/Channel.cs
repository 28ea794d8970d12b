// One open endpoint of the library: its handle, the way its events reach
// .NET, and its transfers.
//
// Events: one callback delegate serves every endpoint for the life of the
// process (so no delegate the library holds is ever collected); its context
// is the endpoint's number in a table. On the library's listener thread the
// callback only wakes the endpoint's waiting transfers and queues the event;
// the endpoint's owner hears it on a thread-pool thread, one event after the
// other, so a handler that blocks, closes or disposes never holds up or
// deadlocks the library. An open endpoint that listens stays in the table,
// and so stays alive (with its owner) until it is closed, as a port whose
// events a program waits for must.
using System;
using System.Collections.Concurrent;
using System.Threading;
using System.Threading.Tasks;

namespace Quorvel
{
    internal interface IEventSink
    {
        // On a thread-pool thread, in the order the library raised them.
        void OnEvent(Channel channel, uint evt, uint detail);
    }

    internal sealed class Channel
    {
        private static readonly NativeMethods.EventProc Proc = OnNativeEvent;
        private static readonly ConcurrentDictionary<long, Channel> Listening = new ConcurrentDictionary<long, Channel>();
        private static long _lastId;
        // How long a wait for data relies on the data-ready event before it
        // asks the port again (a driver that reports nothing still works).
        private const int PollMs = 200;

        // How much a connection reads ahead of the program to see the peer's
        // close (ReadAhead).
        internal const int ReadAheadLimit = 65536;

        internal readonly QvHandle Handle;
        private readonly IEventSink _sink;
        // The owner's name in an ObjectDisposedException, and what a time-out
        // message calls the endpoint ("COM3", "the connection to ...").
        private readonly string _owner;
        internal Func<string> Describe;
        // One receive at a time: the program's (blocking or not) or the read-ahead.
        private readonly object _receiveGate = new object();
        private byte[] _ahead;
        private int _aheadStart, _aheadCount;
        // Bytes taken from the library so far, and how many had arrived (taken
        // or waiting there) when the owner last told of data: an event tells
        // only of bytes that came since.
        private long _taken;
        private long _toldArrived;
        private long _discards;
        private readonly object _toldGate = new object();
        private long _receives, _dataStamp;
        private readonly ConcurrentQueue<ulong> _pending = new ConcurrentQueue<ulong>();
        private readonly object _listenGate = new object();
        private long _id;
        private int _draining;
        private int _dataQueued;
        private int _dataEvents;  // data-ready events of the library since TakeDataEvents
        private TaskCompletionSource<bool> _signal = NewSignal();

        static Channel()
        {
            // At exit, what is still open is closed, which ends the calls under
            // way on the program's threads (a serial read left blocked there
            // would hold up the end of the process).
            AppDomain.CurrentDomain.ProcessExit += (sender, e) =>
            {
                foreach (Channel channel in Listening.Values) channel.Close();
            };
        }

        internal Channel(QvHandle handle, IEventSink sink, string owner)
        {
            Handle = handle;
            _sink = sink;
            _owner = owner;
        }

        internal bool Closed => Handle.ClosedNow;

        // At the start of a call: one made after Dispose is the program's error.
        internal void Enter()
        {
            if (Closed) throw new ObjectDisposedException(_owner);
        }

        // A library status as a call on this endpoint ends: a handle that a close
        // on another thread made invalid under the call is that close's abort.
        internal uint Ended(uint status) =>
            status == Status.InvalidHandle && Closed ? Status.OperationAborted : status;

        internal string Name
        {
            get
            {
                try
                {
                    return Describe?.Invoke();
                }
                catch (Exception)
                {
                    return null;  // closed meanwhile
                }
            }
        }

        // Asks the library for this endpoint's events (a socket starts its
        // listener thread now; a serial port always listens).
        internal void Listen()
        {
            lock (_listenGate)
            {
                // A closed endpoint has no events to ask for: its calls fail on their own.
                if (_id != 0 || Closed) return;
                _id = Interlocked.Increment(ref _lastId);
                Listening[_id] = this;
                uint status;
                try
                {
                    status = NativeMethods.qv_set_callback(Handle, Proc, new IntPtr(_id));
                }
                catch (ObjectDisposedException)
                {
                    status = 0;  // closed meanwhile: as above
                }
                if (status != 0)
                {
                    Channel ignored;
                    Listening.TryRemove(_id, out ignored);
                    _id = 0;
                    throw Errors.Of(status, "qv_set_callback");
                }
            }
        }

        // Closes the endpoint now: calls under way on other threads end,
        // waiting transfers wake, and no event reaches the owner afterwards.
        internal void Close()
        {
            Handle.CloseNow();
            Channel ignored;
            long id = Interlocked.Exchange(ref _id, 0);
            if (id != 0) Listening.TryRemove(id, out ignored);
            _signal.TrySetResult(true);
        }

        private static void OnNativeEvent(IntPtr context, IntPtr handle, uint evt, uint detail)
        {
            Channel channel;
            if (Listening.TryGetValue(context.ToInt64(), out channel)) channel.Queue(evt, detail);
        }

        // An event of the library's, or one the package tells itself (a serial
        // port's data check), on its way to the owner.
        internal void Queue(uint evt, uint detail)
        {
            if (evt == EventCode.DataReady || evt == EventCode.ConnectionWaiting || evt == EventCode.Closed ||
                evt == EventCode.DeviceRemoved)
            {
                Wake();
            }
            if (evt == EventCode.DataReady)
            {
                Interlocked.Increment(ref _dataEvents);
                Interlocked.Exchange(ref _dataStamp, Interlocked.Read(ref _receives));
            }
            // Data-ready events that the owner has not yet heard are one.
            if (evt == EventCode.DataReady && Interlocked.Exchange(ref _dataQueued, 1) == 1) return;
            _pending.Enqueue((ulong)evt << 32 | detail);
            if (Interlocked.CompareExchange(ref _draining, 1, 0) == 0)
                ThreadPool.UnsafeQueueUserWorkItem(Drain, this);
        }

        internal int TakeDataEvents() => Interlocked.Exchange(ref _dataEvents, 0);

        private static void Drain(object state)
        {
            var channel = (Channel)state;
            for (;;)
            {
                ulong item;
                while (channel._pending.TryDequeue(out item))
                {
                    uint evt = (uint)(item >> 32);
                    if (evt == EventCode.DataReady) Volatile.Write(ref channel._dataQueued, 0);
                    channel._sink.OnEvent(channel, evt, (uint)item);
                }
                Volatile.Write(ref channel._draining, 0);
                if (channel._pending.IsEmpty || Interlocked.CompareExchange(ref channel._draining, 1, 0) != 0) return;
            }
        }

        private static TaskCompletionSource<bool> NewSignal() =>
            new TaskCompletionSource<bool>(TaskCreationOptions.RunContinuationsAsynchronously);

        // Wakes the transfers that wait for data, a connection or the end.
        private void Wake()
        {
            Interlocked.Exchange(ref _signal, NewSignal()).TrySetResult(true);
        }

        // A task that completes at the next wake (or after a short while).
        private Task NextWake(CancellationToken cancel)
        {
            Task wake = Volatile.Read(ref _signal).Task;
            return Task.WhenAny(wake, Task.Delay(PollMs, cancel));
        }

        // ---- transfers ----------------------------------------------------

        // Receives what has arrived (at least one byte), waiting at most
        // timeout: the count, 0 once the peer closed and all is read, -1 when
        // the time ran out. What the read-ahead holds comes first.
        internal int ReceiveSome(byte[] buffer, int offset, int count, uint timeout)
        {
            if (count == 0) return 0;
            lock (_receiveGate)
            {
                if (_aheadCount > 0)
                {
                    int n = Math.Min(count, _aheadCount);
                    Buffer.BlockCopy(_ahead, _aheadStart, buffer, offset, n);
                    _aheadStart += n;
                    Volatile.Write(ref _aheadCount, _aheadCount - n);
                    if (_aheadCount == 0) _aheadStart = 0;
                    return n;
                }
                uint got;
                uint status = Take(buffer, offset, count, timeout, out got);
                if (status == 0) return (int)got;
                if (status == Status.WaitTimeout) return -1;
                if (status == Status.Disconnected) return 0;
                throw Errors.Of(status, "qv_recv_some", Name);
            }
        }

        // One receive of the library's (under the receive gate), counted.
        private unsafe uint Take(byte[] buffer, int offset, int count, uint timeout, out uint got)
        {
            uint status;
            try
            {
                fixed (byte* p = buffer)
                {
                    status = NativeMethods.qv_recv_some(Handle, p + offset, (uint)count, timeout, out got);
                }
            }
            catch (ObjectDisposedException)
            {
                // Closed before the call reached the library: as if the close had ended it.
                got = 0;
                return Status.OperationAborted;
            }
            if (status == 0) Interlocked.Add(ref _taken, got);
            return Ended(status);
        }

        // Takes what the library holds (up to ReadAheadLimit waiting here)
        // without waiting, so that the peer's close, which the system tells
        // only once nothing is left unread, is seen while the program has not
        // read. True when the end came. Does nothing while a receive of the
        // program's is under way (that receive takes the data).
        internal bool ReadAhead()
        {
            if (!Monitor.TryEnter(_receiveGate)) return false;
            try
            {
                for (;;)
                {
                    if (_ahead == null) _ahead = new byte[ReadAheadLimit];
                    if (_aheadStart > 0)
                    {
                        Buffer.BlockCopy(_ahead, _aheadStart, _ahead, 0, _aheadCount);
                        _aheadStart = 0;
                    }
                    int room = _ahead.Length - _aheadCount;
                    if (room == 0) return false;
                    uint got;
                    uint status = Take(_ahead, _aheadCount, room, 0, out got);
                    if (status != 0) return status == Status.Disconnected;
                    Volatile.Write(ref _aheadCount, _aheadCount + (int)got);
                }
            }
            finally
            {
                Monitor.Exit(_receiveGate);
            }
        }

        // Bytes read ahead and not yet taken by the program.
        internal int ReadAheadCount => Volatile.Read(ref _aheadCount);

        // Whether bytes arrived since the last MarkTold or Rebase, with the
        // bytes the library holds unread now (toRead) and the count of
        // discards so far (for MarkTold). The discards are read first, then
        // the count taken: during a receive the total can only look smaller
        // than it is, so what came is told at the latest by the next event.
        internal bool Arrived(out int toRead, out long arrived, out long discards)
        {
            discards = Interlocked.Read(ref _discards);
            long taken = Interlocked.Read(ref _taken);
            int toSend;
            Counts(out toRead, out toSend);
            arrived = taken + toRead;
            return arrived > Interlocked.Read(ref _toldArrived);
        }

        // What Arrived found was told, unless bytes were discarded since it
        // looked (its total then counts bytes that are gone).
        internal void MarkTold(long arrived, long discards)
        {
            lock (_toldGate)
            {
                if (discards == _discards && arrived > _toldArrived) Interlocked.Exchange(ref _toldArrived, arrived);
            }
        }

        // After bytes were discarded (a purge, a line error): nothing that
        // waits now has been told, so the next event tells what waits (at
        // worst once more for bytes told before). Takes no lock a receive
        // holds: a discard while a read waits on another thread goes through.
        internal void Rebase()
        {
            lock (_toldGate)
            {
                Interlocked.Increment(ref _discards);
                Interlocked.Exchange(ref _toldArrived, Interlocked.Read(ref _taken));
            }
        }

        // Datagrams taken by receives (UdpSocket), and that count when the
        // last data-ready event came: an event that came before a receive
        // may tell of a datagram that receive took.
        internal long Receives => Interlocked.Read(ref _receives);
        internal void Received() => Interlocked.Increment(ref _receives);
        internal long DataStamp => Interlocked.Read(ref _dataStamp);

        // The same without blocking a thread: waits for the endpoint's
        // data-ready event, cancellable; the endpoint stays usable after a
        // cancel. A close while it waits ends it with ERROR_OPERATION_ABORTED.
        internal async Task<int> ReceiveSomeAsync(byte[] buffer, int offset, int count, int timeoutMs,
                                                  CancellationToken cancel)
        {
            if (count == 0) return 0;
            Listen();
            int start = Environment.TickCount;
            for (;;)
            {
                cancel.ThrowIfCancellationRequested();
                Task wake = NextWake(cancel);
                int got = ReceiveSome(buffer, offset, count, 0);
                if (got >= 0) return got;
                int left = Remaining(start, timeoutMs);
                if (left == 0) throw Errors.TimedOut("read", Name);
                if (left > 0) await Task.WhenAny(wake, Task.Delay(left, cancel)).ConfigureAwait(false);
                else await wake.ConfigureAwait(false);
            }
        }

        // Milliseconds left of a limit begun at start (-1: none).
        internal static int Remaining(int start, int timeoutMs)
        {
            if (timeoutMs < 0) return -1;
            int left = timeoutMs - unchecked(Environment.TickCount - start);
            return left > 0 ? left : 0;
        }

        // Sends every byte within timeout (the whole call).
        internal void Send(byte[] buffer, int offset, int count, uint timeout)
        {
            if (count == 0) return;
            uint sent;
            Errors.Check(SendSlice(buffer, offset, count, timeout, out sent), "qv_send", Name);
        }

        // Sends every byte on a pool thread in slices of time, so that a
        // cancel ends it within a slice (what went stays sent).
        internal Task SendAsync(byte[] buffer, int offset, int count, int timeoutMs, CancellationToken cancel)
        {
            cancel.ThrowIfCancellationRequested();
            return Task.Run(() =>
            {
                int start = Environment.TickCount;
                while (count > 0)
                {
                    cancel.ThrowIfCancellationRequested();
                    int left = Remaining(start, timeoutMs);
                    if (left == 0) throw Errors.TimedOut("write", Name);
                    uint slice = left < 0 || left > 100 ? 100u : (uint)left;
                    uint sent;
                    uint status = SendSlice(buffer, offset, count, slice, out sent);
                    offset += (int)sent;
                    count -= (int)sent;
                    if (status != 0 && status != Status.WaitTimeout) throw Errors.Of(status, "qv_send");
                }
            }, cancel);
        }

        private unsafe uint SendSlice(byte[] buffer, int offset, int count, uint timeout, out uint sent)
        {
            try
            {
                fixed (byte* p = buffer)
                {
                    return Ended(NativeMethods.qv_send(Handle, p + offset, (uint)count, timeout, out sent));
                }
            }
            catch (ObjectDisposedException)
            {
                sent = 0;
                return Status.OperationAborted;
            }
        }

        // Waits for the next wake (a connection, data, the end) or the limit.
        internal Task WaitAsync(int timeoutMs, CancellationToken cancel)
        {
            Listen();
            Task wake = NextWake(cancel);
            return timeoutMs < 0 ? wake : Task.WhenAny(wake, Task.Delay(timeoutMs, cancel));
        }

        internal void Counts(out int toRead, out int toSend)
        {
            uint r, s;
            uint status;
            try
            {
                status = NativeMethods.qv_queue_counts(Handle, out r, out s);
            }
            catch (ObjectDisposedException)
            {
                throw Errors.Aborted("qv_queue_counts");
            }
            Errors.Check(Ended(status), "qv_queue_counts");
            toRead = (int)Math.Min(r, int.MaxValue);
            toSend = (int)Math.Min(s, int.MaxValue);
        }
    }
}
