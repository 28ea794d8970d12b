// The enumerations, event arguments and delegates of a serial port, with the
// names and values System.IO.Ports gives them.
using System;

namespace Quorvel
{
    /// <summary>The parity bit.</summary>
    public enum Parity
    {
        /// <summary>No parity bit.</summary>
        None = 0,
        /// <summary>Odd parity.</summary>
        Odd = 1,
        /// <summary>Even parity.</summary>
        Even = 2,
        /// <summary>The parity bit is always 1.</summary>
        Mark = 3,
        /// <summary>The parity bit is always 0.</summary>
        Space = 4,
    }

    /// <summary>The number of stop bits.</summary>
    public enum StopBits
    {
        /// <summary>Not allowed: setting it throws ArgumentOutOfRangeException.</summary>
        None = 0,
        /// <summary>One stop bit.</summary>
        One = 1,
        /// <summary>Two stop bits.</summary>
        Two = 2,
        /// <summary>One and a half stop bits.</summary>
        OnePointFive = 3,
    }

    /// <summary>The flow control.</summary>
    public enum Handshake
    {
        /// <summary>None.</summary>
        None = 0,
        /// <summary>Software flow control (XON/XOFF).</summary>
        XOnXOff = 1,
        /// <summary>Hardware flow control (RTS/CTS).</summary>
        RequestToSend = 2,
        /// <summary>Both at once: not offered by this library (ArgumentOutOfRangeException).</summary>
        RequestToSendXOnXOff = 3,
    }

    /// <summary>What a DataReceived event tells.</summary>
    public enum SerialData
    {
        /// <summary>Bytes arrived.</summary>
        Chars = 1,
        /// <summary>The end-of-file character arrived (not reported by this library).</summary>
        Eof = 2,
    }

    /// <summary>A line error (the CE_* flags of Windows).</summary>
    public enum SerialError
    {
        /// <summary>The send buffer was full.</summary>
        TXFull = 0x100,
        /// <summary>The receive buffer overflowed.</summary>
        RXOver = 0x1,
        /// <summary>A character was lost to a hardware overrun.</summary>
        Overrun = 0x2,
        /// <summary>A parity error.</summary>
        RXParity = 0x4,
        /// <summary>A framing error.</summary>
        Frame = 0x8,
    }

    /// <summary>A change of a modem line.</summary>
    public enum SerialPinChange
    {
        /// <summary>CTS changed.</summary>
        CtsChanged = 0x8,
        /// <summary>DSR changed.</summary>
        DsrChanged = 0x10,
        /// <summary>DCD (carrier detect) changed.</summary>
        CDChanged = 0x20,
        /// <summary>A break came in.</summary>
        Break = 0x40,
        /// <summary>A ring (told as it ends).</summary>
        Ring = 0x100,
    }

    /// <summary>The arguments of <see cref="SerialPort.DataReceived"/>.</summary>
    public class SerialDataReceivedEventArgs : EventArgs
    {
        internal SerialDataReceivedEventArgs(SerialData eventType) { EventType = eventType; }
        /// <summary>Always <see cref="SerialData.Chars"/>.</summary>
        public SerialData EventType { get; }
    }

    /// <summary>The arguments of <see cref="SerialPort.ErrorReceived"/>: one error, with the detail
    /// of the line error it came with.</summary>
    public class SerialErrorReceivedEventArgs : EventArgs
    {
        internal SerialErrorReceivedEventArgs(SerialError eventType, int errors, int discarded)
        {
            EventType = eventType;
            Errors = errors;
            DiscardedBytes = discarded;
        }
        /// <summary>The error this event tells of.</summary>
        public SerialError EventType { get; }
        /// <summary>Every CE_* flag of the line error (one event is raised for each).</summary>
        public int Errors { get; }
        /// <summary>The received bytes the error discarded.</summary>
        public int DiscardedBytes { get; }
    }

    /// <summary>The arguments of <see cref="SerialPort.PinChanged"/>.</summary>
    public class SerialPinChangedEventArgs : EventArgs
    {
        internal SerialPinChangedEventArgs(SerialPinChange eventType) { EventType = eventType; }
        /// <summary>The line that changed.</summary>
        public SerialPinChange EventType { get; }
    }

    /// <summary>Handles <see cref="SerialPort.DataReceived"/>.</summary>
    public delegate void SerialDataReceivedEventHandler(object sender, SerialDataReceivedEventArgs e);
    /// <summary>Handles <see cref="SerialPort.ErrorReceived"/>.</summary>
    public delegate void SerialErrorReceivedEventHandler(object sender, SerialErrorReceivedEventArgs e);
    /// <summary>Handles <see cref="SerialPort.PinChanged"/>.</summary>
    public delegate void SerialPinChangedEventHandler(object sender, SerialPinChangedEventArgs e);
}
