using System;
using System.Collections.Generic;
using System.ComponentModel;
using System.IO;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Quorvel
{
    /// <summary>A serial port, with the members of System.IO.Ports.SerialPort (same names, types and
    /// meanings) and more: <see cref="Removed"/> when the adapter leaves, <see cref="ReadAsync"/> and
    /// <see cref="WriteAsync"/> that honour a CancellationToken and the time limits, DTR and RTS set
    /// before <see cref="Open"/> applied as the port opens, <see cref="SendBreak"/>, and the detail of
    /// each line error. Events are raised on thread-pool threads, one after the other.</summary>
    public class SerialPort : Component, IEventSink
    {
        /// <summary>No time limit (-1).</summary>
        public const int InfiniteTimeout = -1;

        private string _portName = "COM1";
        private int _baudRate = 9600;
        private Parity _parity = Parity.None;
        private int _dataBits = 8;
        private StopBits _stopBits = StopBits.One;
        private Handshake _handshake = Handshake.None;
        private bool _dtr, _rts, _dtrSet, _rtsSet, _break;
        private int _readTimeout = InfiniteTimeout;
        private int _writeTimeout = InfiniteTimeout;
        private int _threshold = 1;
        private int _readBufferSize = 4096;
        private int _writeBufferSize = 2048;
        private bool _bufferSizesSet;
        private string _newLine = "\n";
        private Encoding _encoding = new ASCIIEncoding();
        private SerialPinChangedEventHandler _pinChanged;

        private volatile Channel _channel;
        private readonly object _openGate = new object();
        private readonly SemaphoreSlim _readGate = new SemaphoreSlim(1, 1);
        private readonly SemaphoreSlim _writeGate = new SemaphoreSlim(1, 1);
        // Bytes taken from the port and not yet read (character reads decode from here).
        private byte[] _in = new byte[4096];
        private int _inStart, _inCount;
        private Stream _stream;
        // Some drivers lose the event of bytes that arrive while the port's
        // wait is being renewed (Wine's ports on a pseudo-terminal do): while a
        // DataReceived handler is attached, bytes that came without an event
        // are told after at most one period.
        private const int DataCheckMs = 250;
        private Timer _dataCheck;

        /// <summary>A port named COM1 at 9600 baud, 8 data bits, no parity, one stop bit.</summary>
        public SerialPort() { }
        /// <summary>A port by name ("COM3") or path ("\\.\COM12").</summary>
        public SerialPort(string portName) { PortName = portName; }
        /// <summary>A port and its baud rate.</summary>
        public SerialPort(string portName, int baudRate) : this(portName) { BaudRate = baudRate; }
        /// <summary>A port, its baud rate and parity.</summary>
        public SerialPort(string portName, int baudRate, Parity parity) : this(portName, baudRate) { Parity = parity; }
        /// <summary>A port, its baud rate, parity and data bits.</summary>
        public SerialPort(string portName, int baudRate, Parity parity, int dataBits)
            : this(portName, baudRate, parity) { DataBits = dataBits; }
        /// <summary>A port and all its line settings.</summary>
        public SerialPort(string portName, int baudRate, Parity parity, int dataBits, StopBits stopBits)
            : this(portName, baudRate, parity, dataBits) { StopBits = stopBits; }

        /// <summary>Bytes arrived and at least <see cref="ReceivedBytesThreshold"/> wait to be read.</summary>
        public event SerialDataReceivedEventHandler DataReceived;
        /// <summary>Received data was lost to a line error: one event for each CE_* flag.</summary>
        public event SerialErrorReceivedEventHandler ErrorReceived;
        /// <summary>The adapter went away (unplugged, or the system removed it): the port is closed
        /// when this is raised, and no exception reaches a thread the program does not own.</summary>
        public event EventHandler Removed;

        /// <summary>CTS, DSR, DCD or RI changed, or a break came in. The port asks the driver for
        /// modem events while a handler is attached; a driver without modem lines raises none.</summary>
        public event SerialPinChangedEventHandler PinChanged
        {
            add
            {
                lock (_openGate)
                {
                    bool first = _pinChanged == null;
                    _pinChanged += value;
                    if (first && _channel != null) WatchModem(_channel, true);
                }
            }
            remove
            {
                lock (_openGate)
                {
                    _pinChanged -= value;
                    if (_pinChanged == null && _channel != null) WatchModem(_channel, false);
                }
            }
        }

        /// <summary>The names of the serial ports present ("COM3"), in natural order.</summary>
        public static string[] GetPortNames()
        {
            var names = new List<string>();
            foreach (SerialPortInfo port in SerialPortInfo.GetPorts())
                if (!string.IsNullOrEmpty(port.Name)) names.Add(port.Name);
            return names.ToArray();
        }

        // ---- settings --------------------------------------------------------

        /// <summary>The port's name or path; set only while closed.</summary>
        public string PortName
        {
            get => _portName;
            set
            {
                if (value == null) throw new ArgumentNullException(nameof(PortName));
                if (value.Length == 0) throw new ArgumentException("a port name is not empty", nameof(PortName));
                if (IsOpen) throw new InvalidOperationException("The port's name cannot change while it is open.");
                _portName = value;
            }
        }

        /// <summary>The baud rate (more than 0); the driver may take a nearby rate.</summary>
        public int BaudRate
        {
            get => _baudRate;
            set
            {
                if (value <= 0) throw new ArgumentOutOfRangeException(nameof(BaudRate), "the baud rate is more than 0");
                Change(() => _baudRate = value, _baudRate, v => _baudRate = v);
            }
        }

        /// <summary>The parity bit.</summary>
        public Parity Parity
        {
            get => _parity;
            set
            {
                if (value < Parity.None || value > Parity.Space) throw new ArgumentOutOfRangeException(nameof(Parity));
                Change(() => _parity = value, _parity, v => _parity = v);
            }
        }

        /// <summary>Data bits, 5 to 8.</summary>
        public int DataBits
        {
            get => _dataBits;
            set
            {
                if (value < 5 || value > 8) throw new ArgumentOutOfRangeException(nameof(DataBits), "5 to 8 data bits");
                Change(() => _dataBits = value, _dataBits, v => _dataBits = v);
            }
        }

        /// <summary>Stop bits (One, Two or OnePointFive).</summary>
        public StopBits StopBits
        {
            get => _stopBits;
            set
            {
                if (value < StopBits.One || value > StopBits.OnePointFive) throw new ArgumentOutOfRangeException(nameof(StopBits));
                Change(() => _stopBits = value, _stopBits, v => _stopBits = v);
            }
        }

        /// <summary>Flow control: None, XOnXOff or RequestToSend.</summary>
        public Handshake Handshake
        {
            get => _handshake;
            set
            {
                if (value < Handshake.None || value > Handshake.RequestToSend)
                    throw new ArgumentOutOfRangeException(nameof(Handshake), "None, XOnXOff or RequestToSend");
                Change(() => _handshake = value, _handshake, v => _handshake = v);
            }
        }

        /// <summary>DTR up (true) or down. Set before Open, it is applied as the port opens
        /// (false by default, as System.IO.Ports has it).</summary>
        public bool DtrEnable
        {
            get => _dtr;
            set
            {
                Channel ch = _channel;
                if (ch != null) Errors.Check(NativeMethods.qv_serial_set_dtr(ch.Handle, value ? 1 : 0), "qv_serial_set_dtr");
                _dtr = value;
                _dtrSet = true;
            }
        }

        /// <summary>RTS up (true) or down; not while the handshake is RequestToSend. Set before Open,
        /// it is applied as the port opens.</summary>
        public bool RtsEnable
        {
            get => _rts;
            set
            {
                if (_handshake == Handshake.RequestToSend)
                    throw new InvalidOperationException("RTS belongs to the RequestToSend handshake.");
                Channel ch = _channel;
                if (ch != null) Errors.Check(NativeMethods.qv_serial_set_rts(ch.Handle, value ? 1 : 0), "qv_serial_set_rts");
                _rts = value;
                _rtsSet = true;
            }
        }

        /// <summary>Holds a break on the line while true.</summary>
        public bool BreakState
        {
            get { Live(); return _break; }
            set
            {
                Errors.Check(NativeMethods.qv_serial_set_break(Live().Handle, value ? 1 : 0), "qv_serial_set_break");
                _break = value;
            }
        }

        /// <summary>Whether CTS is up.</summary>
        public bool CtsHolding => (ModemLines() & 0x10) != 0;
        /// <summary>Whether DSR is up.</summary>
        public bool DsrHolding => (ModemLines() & 0x20) != 0;
        /// <summary>Whether DCD (carrier detect) is up.</summary>
        public bool CDHolding => (ModemLines() & 0x80) != 0;

        /// <summary>Milliseconds a read waits (InfiniteTimeout: no limit); a read that runs out
        /// throws TimeoutException.</summary>
        public int ReadTimeout
        {
            get => _readTimeout;
            set
            {
                if (value < 0 && value != InfiniteTimeout) throw new ArgumentOutOfRangeException(nameof(ReadTimeout));
                _readTimeout = value;
            }
        }

        /// <summary>Milliseconds a write may take (InfiniteTimeout: no limit); a write that runs out
        /// throws TimeoutException.</summary>
        public int WriteTimeout
        {
            get => _writeTimeout;
            set
            {
                if (value <= 0 && value != InfiniteTimeout) throw new ArgumentOutOfRangeException(nameof(WriteTimeout));
                _writeTimeout = value;
            }
        }

        /// <summary>Bytes that must wait before DataReceived is raised (1 to 65535).</summary>
        public int ReceivedBytesThreshold
        {
            get => _threshold;
            set
            {
                if (value <= 0 || value > 65535) throw new ArgumentOutOfRangeException(nameof(ReceivedBytesThreshold));
                _threshold = value;
            }
        }

        /// <summary>The driver's receive queue size, asked as the port opens.</summary>
        public int ReadBufferSize
        {
            get => _readBufferSize;
            set
            {
                if (value <= 0) throw new ArgumentOutOfRangeException(nameof(ReadBufferSize));
                if (IsOpen) throw new InvalidOperationException("Set the buffer sizes before Open.");
                _readBufferSize = value;
                _bufferSizesSet = true;
            }
        }

        /// <summary>The driver's send queue size, asked as the port opens.</summary>
        public int WriteBufferSize
        {
            get => _writeBufferSize;
            set
            {
                if (value <= 0) throw new ArgumentOutOfRangeException(nameof(WriteBufferSize));
                if (IsOpen) throw new InvalidOperationException("Set the buffer sizes before Open.");
                _writeBufferSize = value;
                _bufferSizesSet = true;
            }
        }

        /// <summary>The end of a line for ReadLine and WriteLine ("\n").</summary>
        public string NewLine
        {
            get => _newLine;
            set
            {
                if (value == null) throw new ArgumentNullException(nameof(NewLine));
                if (value.Length == 0) throw new ArgumentException("a line ends with at least one character", nameof(NewLine));
                _newLine = value;
            }
        }

        /// <summary>How text becomes bytes and back (ASCII).</summary>
        public Encoding Encoding
        {
            get => _encoding;
            set => _encoding = value ?? throw new ArgumentNullException(nameof(Encoding));
        }

        /// <summary>Whether the port is open.</summary>
        public bool IsOpen => _channel != null;

        /// <summary>Bytes received and not yet read.</summary>
        public int BytesToRead
        {
            get
            {
                int toRead, toSend;
                Live().Counts(out toRead, out toSend);
                return toRead + _inCount;
            }
        }

        /// <summary>Bytes waiting to be sent.</summary>
        public int BytesToWrite
        {
            get
            {
                int toRead, toSend;
                Live().Counts(out toRead, out toSend);
                return toSend;
            }
        }

        /// <summary>The open port as a Stream (bytes only; ReadAsync and WriteAsync cancellable).</summary>
        public Stream BaseStream
        {
            get
            {
                Live();
                return _stream ?? (_stream = new PortStream(this));
            }
        }

        // ---- open and close ----------------------------------------------------

        /// <summary>Opens the port with the settings made so far.</summary>
        public void Open()
        {
            lock (_openGate)
            {
                if (_channel != null) throw new InvalidOperationException("The port is already open.");
                IntPtr made;
                QvHandle handle = QvHandle.Made(NativeMethods.qv_serial_open(_portName, out made), made, "qv_serial_open");
                var ch = new Channel(handle, this, typeof(SerialPort).FullName);
                string name = _portName;
                ch.Describe = () => name;
                try
                {
                    ApplyLine(ch);
                    // DTR and RTS as the program wants them before anything is sent; a
                    // driver without the line refuses, which matters only for a line the
                    // program set itself.
                    uint status = NativeMethods.qv_serial_set_dtr(ch.Handle, _dtr ? 1 : 0);
                    if (status != 0 && _dtrSet) throw Errors.Of(status, "qv_serial_set_dtr");
                    if (_handshake != Handshake.RequestToSend)
                    {
                        status = NativeMethods.qv_serial_set_rts(ch.Handle, _rts ? 1 : 0);
                        if (status != 0 && _rtsSet) throw Errors.Of(status, "qv_serial_set_rts");
                    }
                    if (_bufferSizesSet)
                    {
                        Errors.Check(NativeMethods.qv_serial_set_queue_sizes(ch.Handle, (uint)_readBufferSize,
                                                                             (uint)_writeBufferSize), "qv_serial_set_queue_sizes");
                    }
                    ch.Listen();
                    if (_pinChanged != null) WatchModem(ch, true);
                }
                catch
                {
                    ch.Close();
                    throw;
                }
                _break = false;
                _inStart = _inCount = 0;
                _stream = null;
                _channel = ch;
                _dataCheck = new Timer(CheckData, ch, DataCheckMs, DataCheckMs);
            }
        }

        /// <summary>Closes the port at once: reads and writes under way on other threads end
        /// (QuorvelException with ERROR_OPERATION_ABORTED), no event is raised afterwards. The port
        /// may be opened again.</summary>
        public void Close()
        {
            Channel ch;
            lock (_openGate)
            {
                ch = _channel;
                _channel = null;
                _dataCheck?.Dispose();
                _dataCheck = null;
            }
            ch?.Close();
        }

        private void CheckData(object state)
        {
            var ch = (Channel)state;
            if (_channel != ch || DataReceived == null) return;
            try
            {
                // Bytes that came untold, with no data event of the driver's
                // during the period: the event tells them (once).
                int toRead;
                long arrived, discards;
                if (ch.TakeDataEvents() == 0 && ch.Arrived(out toRead, out arrived, out discards) && toRead + _inCount >= _threshold)
                    ch.Queue(EventCode.DataReady, 0);
            }
            catch (Exception e) when (e is ObjectDisposedException || e is InvalidOperationException || e is QuorvelException)
            {
                // closed meanwhile
            }
        }

        /// <summary>Closes the port.</summary>
        protected override void Dispose(bool disposing)
        {
            Close();
            base.Dispose(disposing);
        }

        // ---- reading -----------------------------------------------------------

        /// <summary>Reads what has arrived, at most count bytes, waiting up to ReadTimeout for the first.</summary>
        public int Read(byte[] buffer, int offset, int count)
        {
            Errors.Range(buffer, offset, count);
            Channel ch = Live();
            if (count == 0) return 0;
            _readGate.Wait();
            try
            {
                if (_inCount > 0) return TakeBytes(buffer, offset, count);
                int got = ch.ReceiveSome(buffer, offset, count, Errors.Limit(_readTimeout, nameof(ReadTimeout)));
                if (got < 0) throw TimedOut();
                return got;
            }
            finally
            {
                _readGate.Release();
            }
        }

        /// <summary>Reads what has arrived without blocking a thread, at most count bytes, waiting up
        /// to ReadTimeout for the first (TimeoutException) unless cancelled first
        /// (OperationCanceledException); the port stays usable after either.</summary>
        public async Task<int> ReadAsync(byte[] buffer, int offset, int count, CancellationToken cancellationToken = default(CancellationToken))
        {
            Errors.Range(buffer, offset, count);
            Channel ch = Live();
            if (count == 0) return 0;
            await _readGate.WaitAsync(cancellationToken).ConfigureAwait(false);
            try
            {
                if (_inCount > 0) return TakeBytes(buffer, offset, count);
                return await ch.ReceiveSomeAsync(buffer, offset, count, _readTimeout, cancellationToken).ConfigureAwait(false);
            }
            finally
            {
                _readGate.Release();
            }
        }

        /// <summary>Reads one byte, waiting up to ReadTimeout.</summary>
        public int ReadByte()
        {
            var one = new byte[1];
            Read(one, 0, 1);
            return one[0];
        }

        /// <summary>Reads one character, waiting up to ReadTimeout.</summary>
        public int ReadChar()
        {
            var one = new char[1];
            Read(one, 0, 1);
            return one[0];
        }

        /// <summary>Reads at most count characters, waiting up to ReadTimeout for the first.</summary>
        public int Read(char[] buffer, int offset, int count)
        {
            if (buffer == null) throw new ArgumentNullException(nameof(buffer));
            if (offset < 0 || count < 0 || buffer.Length - offset < count) throw new ArgumentOutOfRangeException(nameof(count));
            if (count == 0) { Live(); return 0; }
            return ReadText(text =>
            {
                if (text.Length == 0) return -1;
                int n = Math.Min(count, text.Length);
                text.CopyTo(0, buffer, offset, n);
                return n;
            });
        }

        /// <summary>Everything received now, as text, without waiting.</summary>
        public string ReadExisting()
        {
            Channel ch = Live();
            _readGate.Wait();
            try
            {
                while (Fill(ch, 0)) { }
                int used;
                string text = Decode(out used);
                Consume(used);
                return text;
            }
            finally
            {
                _readGate.Release();
            }
        }

        /// <summary>Reads up to NewLine (which is taken and not returned), waiting up to ReadTimeout
        /// for the whole line; on a time out what came stays to be read.</summary>
        public string ReadLine() => ReadTo(_newLine);

        /// <summary>Reads up to value (taken, not returned), waiting up to ReadTimeout.</summary>
        public string ReadTo(string value)
        {
            if (value == null) throw new ArgumentNullException(nameof(value));
            if (value.Length == 0) throw new ArgumentException("the text to read to is not empty", nameof(value));
            string found = null;
            ReadText(text =>
            {
                int at = text.IndexOf(value, StringComparison.Ordinal);
                if (at < 0) return -1;
                found = text.Substring(0, at);
                return at + value.Length;
            });
            return found;
        }

        // Decodes what is buffered until match finds what it wants (the number
        // of characters it takes, -1 for more), filling from the port meanwhile.
        private int ReadText(Func<string, int> match)
        {
            Channel ch = Live();
            int start = Environment.TickCount;
            _readGate.Wait();
            try
            {
                for (;;)
                {
                    int used;
                    string text = Decode(out used);
                    int n = match(text);
                    if (n >= 0)
                    {
                        Consume(n == text.Length ? used : _encoding.GetByteCount(text.Substring(0, n)));
                        return n;
                    }
                    int left = Channel.Remaining(start, _readTimeout);
                    if (left == 0 || !Fill(ch, left < 0 ? Status.Infinite : (uint)left)) throw TimedOut();
                }
            }
            finally
            {
                _readGate.Release();
            }
        }

        /// <summary>Discards the received bytes not yet read.</summary>
        public void DiscardInBuffer()
        {
            Channel ch = Live();
            Errors.Check(NativeMethods.qv_serial_purge(ch.Handle, 1), "qv_serial_purge");
            _inStart = _inCount = 0;
            ch.Rebase();
        }

        /// <summary>Discards the bytes not yet sent.</summary>
        public void DiscardOutBuffer()
        {
            Errors.Check(NativeMethods.qv_serial_purge(Live().Handle, 2), "qv_serial_purge");
        }

        // ---- writing -----------------------------------------------------------

        /// <summary>Sends every byte, within WriteTimeout for the whole call.</summary>
        public void Write(byte[] buffer, int offset, int count)
        {
            Errors.Range(buffer, offset, count);
            Channel ch = Live();
            _writeGate.Wait();
            try
            {
                ch.Send(buffer, offset, count, Errors.Limit(_writeTimeout, nameof(WriteTimeout)));
            }
            finally
            {
                _writeGate.Release();
            }
        }

        /// <summary>Sends every byte within WriteTimeout (TimeoutException) unless cancelled first
        /// (OperationCanceledException); what was sent before a cancel stays sent. The caller's thread
        /// does not wait: the write runs on a thread-pool thread, which it holds until the last byte
        /// is handed to the driver, checking for a cancel every 100 ms.</summary>
        public async Task WriteAsync(byte[] buffer, int offset, int count, CancellationToken cancellationToken = default(CancellationToken))
        {
            Errors.Range(buffer, offset, count);
            Channel ch = Live();
            await _writeGate.WaitAsync(cancellationToken).ConfigureAwait(false);
            try
            {
                await ch.SendAsync(buffer, offset, count, _writeTimeout, cancellationToken).ConfigureAwait(false);
            }
            finally
            {
                _writeGate.Release();
            }
        }

        /// <summary>Sends text in <see cref="Encoding"/>.</summary>
        public void Write(string text)
        {
            if (text == null) throw new ArgumentNullException(nameof(text));
            byte[] bytes = _encoding.GetBytes(text);
            Write(bytes, 0, bytes.Length);
        }

        /// <summary>Sends characters in <see cref="Encoding"/>.</summary>
        public void Write(char[] buffer, int offset, int count)
        {
            if (buffer == null) throw new ArgumentNullException(nameof(buffer));
            if (offset < 0 || count < 0 || buffer.Length - offset < count) throw new ArgumentOutOfRangeException(nameof(count));
            byte[] bytes = _encoding.GetBytes(buffer, offset, count);
            Write(bytes, 0, bytes.Length);
        }

        /// <summary>Sends text and NewLine.</summary>
        public void WriteLine(string text) => Write((text ?? throw new ArgumentNullException(nameof(text))) + _newLine);

        /// <summary>A break of the given milliseconds, after which the line is free again.</summary>
        public void SendBreak(int milliseconds)
        {
            if (milliseconds < 0) throw new ArgumentOutOfRangeException(nameof(milliseconds));
            Errors.Check(NativeMethods.qv_serial_send_break(Live().Handle, (uint)milliseconds), "qv_serial_send_break");
        }

        // ---- events --------------------------------------------------------------

        void IEventSink.OnEvent(Channel ch, uint evt, uint detail)
        {
            if (evt == EventCode.DeviceRemoved)
            {
                bool mine;
                lock (_openGate)
                {
                    mine = _channel == ch;
                    if (mine)
                    {
                        _channel = null;
                        _dataCheck?.Dispose();
                        _dataCheck = null;
                    }
                }
                ch.Close();
                if (mine) Removed?.Invoke(this, EventArgs.Empty);
                return;
            }
            if (_channel != ch) return;  // closed since
            try
            {
                if (evt == EventCode.DataReady)
                {
                    // Once for each arrival that leaves at least the threshold waiting,
                    // however often the driver repeats its event for bytes not yet read.
                    int toRead;
                    long arrived, discards;
                    SerialDataReceivedEventHandler handler = DataReceived;
                    if (handler == null) return;
                    try
                    {
                        if (!ch.Arrived(out toRead, out arrived, out discards) || toRead + _inCount < _threshold) return;
                    }
                    catch (QuorvelException)
                    {
                        return;  // the port failed (a removal follows) or closed
                    }
                    ch.MarkTold(arrived, discards);
                    if (_channel == ch) handler(this, new SerialDataReceivedEventArgs(SerialData.Chars));
                }
                else if (evt == EventCode.LineError)
                {
                    uint errors, discarded;
                    if (NativeMethods.qv_serial_line_error(ch.Handle, out errors, out discarded) != 0) discarded = 0;
                    ch.Rebase();  // the driver discarded what waited
                    if (_channel != ch) return;
                    errors |= detail;
                    if ((errors & 0x10) != 0) _pinChanged?.Invoke(this, new SerialPinChangedEventArgs(SerialPinChange.Break));
                    foreach (SerialError e in new[] { SerialError.RXOver, SerialError.Overrun, SerialError.RXParity,
                                                      SerialError.Frame, SerialError.TXFull })
                    {
                        if ((errors & (uint)e) != 0)
                            ErrorReceived?.Invoke(this, new SerialErrorReceivedEventArgs(e, (int)errors, (int)discarded));
                    }
                }
                else if (evt == EventCode.ModemChanged)
                {
                    uint changed = (detail >> 8) & 0xF0;
                    if ((changed & 0x10) != 0) _pinChanged?.Invoke(this, new SerialPinChangedEventArgs(SerialPinChange.CtsChanged));
                    if ((changed & 0x20) != 0) _pinChanged?.Invoke(this, new SerialPinChangedEventArgs(SerialPinChange.DsrChanged));
                    if ((changed & 0x80) != 0) _pinChanged?.Invoke(this, new SerialPinChangedEventArgs(SerialPinChange.CDChanged));
                    if ((changed & 0x40) != 0) _pinChanged?.Invoke(this, new SerialPinChangedEventArgs(SerialPinChange.Ring));
                }
            }
            catch (Exception e) when ((e is ObjectDisposedException || e is InvalidOperationException || e is QuorvelException) &&
                                      (_channel != ch || ch.Closed))
            {
                // The port closed while the event was told: the calls of a
                // handler that was reading end so, on a thread not the program's.
            }
        }

        // ---- helpers -------------------------------------------------------------

        private Channel Live()
        {
            Channel ch = _channel;
            if (ch == null) throw new InvalidOperationException("The port is closed.");
            return ch;
        }

        private TimeoutException TimedOut() => Errors.TimedOut("read", _portName);

        private static uint FlowOf(Handshake h) => h == Handshake.RequestToSend ? 1u : h == Handshake.XOnXOff ? 2u : 0u;

        private void ApplyLine(Channel ch)
        {
            uint stop = _stopBits == StopBits.Two ? 2u : _stopBits == StopBits.OnePointFive ? 15u : 1u;
            uint flow = FlowOf(_handshake);
            Errors.Check(NativeMethods.qv_serial_set_line(ch.Handle, (uint)_baudRate, (uint)_dataBits, (uint)_parity,
                                                          stop, flow), "qv_serial_set_line");
            // Some drivers report success and keep what they had (Wine's on a
            // pseudo-terminal does for parity and 5 data bits): what the driver
            // holds now is asked back. The baud rate may be a nearby one.
            uint baudNow, bitsNow, parityNow, stopNow, flowNow;
            Errors.Check(NativeMethods.qv_serial_get_line(ch.Handle, out baudNow, out bitsNow, out parityNow, out stopNow, out flowNow),
                         "qv_serial_get_line");
            string refused = bitsNow != _dataBits ? _dataBits + " data bits"
                           : parityNow != (uint)_parity ? "parity " + _parity
                           : stopNow != stop ? "stop bits " + _stopBits
                           : flowNow != flow ? "handshake " + _handshake : null;
            if (refused != null)
            {
                throw new QuorvelException((int)Status.InvalidParameter,
                                           Errors.Text(Status.InvalidParameter) + " The driver of " + _portName + " did not take " + refused + ".")
                      { Function = "qv_serial_set_line" };
            }
        }

        // A line setting: changed at once on an open port; if the driver
        // refuses, the property and the driver keep what they had.
        private void Change<T>(Action set, T old, Action<T> restore)
        {
            lock (_openGate)
            {
                set();
                Channel ch = _channel;
                if (ch == null) return;
                try
                {
                    ApplyLine(ch);
                }
                catch
                {
                    restore(old);
                    try
                    {
                        ApplyLine(ch);
                    }
                    catch (Exception)
                    {
                        // what the driver holds cannot be helped
                    }
                    throw;
                }
            }
        }

        private void WatchModem(Channel ch, bool on)
        {
            // A driver without modem lines refuses: it has no pin to tell of.
            NativeMethods.qv_serial_watch_modem(ch.Handle, on ? 1 : 0);
        }

        private uint ModemLines()
        {
            uint lines;
            Errors.Check(NativeMethods.qv_serial_modem_status(Live().Handle, out lines), "qv_serial_modem_status");
            return lines;
        }

        // Takes bytes from the port into the buffer, waiting at most timeout for
        // the first; false when none came.
        private bool Fill(Channel ch, uint timeout)
        {
            if (_inStart > 0 && _inStart + _inCount > _in.Length / 2)
            {
                Buffer.BlockCopy(_in, _inStart, _in, 0, _inCount);
                _inStart = 0;
            }
            if (_in.Length - _inStart - _inCount < 1024) Array.Resize(ref _in, _in.Length * 2);
            int got = ch.ReceiveSome(_in, _inStart + _inCount, _in.Length - _inStart - _inCount, timeout);
            if (got <= 0) return false;
            _inCount += got;
            return true;
        }

        private int TakeBytes(byte[] buffer, int offset, int count)
        {
            int n = Math.Min(count, _inCount);
            Buffer.BlockCopy(_in, _inStart, buffer, offset, n);
            Consume(n);
            return n;
        }

        private void Consume(int bytes)
        {
            _inStart += bytes;
            _inCount -= bytes;
            if (_inCount == 0) _inStart = 0;
        }

        // The whole characters the buffer holds; used: the bytes they take.
        private string Decode(out int used)
        {
            if (_inCount == 0)
            {
                used = 0;
                return string.Empty;
            }
            Decoder decoder = _encoding.GetDecoder();
            var chars = new char[_encoding.GetMaxCharCount(_inCount)];
            int charsUsed;
            bool completed;
            decoder.Convert(_in, _inStart, _inCount, chars, 0, chars.Length, false, out used, out charsUsed, out completed);
            return new string(chars, 0, charsUsed);
        }

        // BaseStream: the port's bytes as a Stream.
        private sealed class PortStream : Stream
        {
            private readonly SerialPort _port;
            internal PortStream(SerialPort port) { _port = port; }
            public override bool CanRead => _port.IsOpen;
            public override bool CanWrite => _port.IsOpen;
            public override bool CanSeek => false;
            public override bool CanTimeout => true;
            public override int ReadTimeout { get => _port.ReadTimeout; set => _port.ReadTimeout = value; }
            public override int WriteTimeout { get => _port.WriteTimeout; set => _port.WriteTimeout = value; }
            public override long Length => throw new NotSupportedException();
            public override long Position { get => throw new NotSupportedException(); set => throw new NotSupportedException(); }
            public override void Flush() { }
            public override int Read(byte[] buffer, int offset, int count) => _port.Read(buffer, offset, count);
            public override void Write(byte[] buffer, int offset, int count) => _port.Write(buffer, offset, count);
            public override Task<int> ReadAsync(byte[] buffer, int offset, int count, CancellationToken cancellationToken) =>
                _port.ReadAsync(buffer, offset, count, cancellationToken);
            public override Task WriteAsync(byte[] buffer, int offset, int count, CancellationToken cancellationToken) =>
                _port.WriteAsync(buffer, offset, count, cancellationToken);
            public override long Seek(long offset, SeekOrigin origin) => throw new NotSupportedException();
            public override void SetLength(long value) => throw new NotSupportedException();
            protected override void Dispose(bool disposing)
            {
                if (disposing) _port.Close();
                base.Dispose(disposing);
            }
        }
    }
}
