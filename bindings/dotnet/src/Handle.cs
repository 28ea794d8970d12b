using System;
using System.ComponentModel;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using Microsoft.Win32.SafeHandles;

namespace Quorvel
{
    // A handle of the library. CloseNow ends the library's object at once,
    // even while a call on it is blocked on another thread (that call returns
    // ERROR_OPERATION_ABORTED): a plain SafeHandle would postpone the close
    // until the call returns. The library's handles carry a generation, so a
    // closed handle that a late call still holds names nothing; the library
    // is told of the close once only.
    internal sealed class QvHandle : SafeHandleZeroOrMinusOneIsInvalid
    {
        private int _closed;

        private QvHandle() : base(true) { }

        internal QvHandle(IntPtr handle) : base(true)
        {
            SetHandle(handle);
        }

        internal bool ClosedNow => Volatile.Read(ref _closed) != 0;

        internal void CloseNow()
        {
            CloseOnce();
            Dispose();
        }

        protected override bool ReleaseHandle()
        {
            CloseOnce();
            return true;
        }

        private void CloseOnce()
        {
            if (Interlocked.Exchange(ref _closed, 1) == 0) NativeMethods.qv_close(handle);
        }

        // A handle a call made, or the call's failure as an exception.
        internal static QvHandle Made(uint status, IntPtr handle, string call, string name = null)
        {
            if (status != 0) throw Errors.Of(status, call, name);
            return new QvHandle(handle);
        }
    }

    /// <summary>A failure the library reported: <see cref="Win32Exception.NativeErrorCode"/> is the
    /// Windows or Windows Sockets error code, the message begins with its name
    /// ("WSAECONNREFUSED (10061): ...").</summary>
    public class QuorvelException : Win32Exception
    {
        /// <summary>A failure with this Windows or Windows Sockets error code.</summary>
        public QuorvelException(int errorCode) : base(errorCode, Errors.Text((uint)errorCode)) { }

        /// <summary>A failure with this error code and a message of the caller's.</summary>
        public QuorvelException(int errorCode, string message) : base(errorCode, message) { }

        /// <summary>The library function that failed, when known.</summary>
        public string Function { get; internal set; }

        /// <summary>The error's name as Windows headers spell it ("ERROR_FILE_NOT_FOUND"), or null.</summary>
        public string ErrorName
        {
            get
            {
                string text = Message;
                int space = text.IndexOf(" (", StringComparison.Ordinal);
                return space > 0 && text.Substring(0, space).ToUpperInvariant() == text.Substring(0, space)
                    ? text.Substring(0, space) : null;
            }
        }
    }

    internal static class Errors
    {
        internal static string Text(uint code)
        {
            try
            {
                var text = new StringBuilder(256);
                uint length;
                if (NativeMethods.qv_error_text(code, text, (uint)text.Capacity, out length) == 0)
                    return text.ToString(0, (int)length);
            }
            catch (DllNotFoundException) { }
            return "error " + code;
        }

        // The exception for a status: a time limit is a TimeoutException whose
        // message names what ran out of time on what (name: the port, the
        // connection...), the rest QuorvelExceptions.
        internal static Exception Of(uint status, string call, string name = null)
        {
            if (status == Status.WaitTimeout) return TimedOut(LimitOf(call), name);
            return new QuorvelException((int)status) { Function = call };
        }

        internal static void Check(uint status, string call, string name = null)
        {
            if (status != 0) throw Of(status, call, name);
        }

        // "The read time limit of COM3 ran out."
        internal static TimeoutException TimedOut(string limit, string name) =>
            new TimeoutException("The " + limit + " time limit" + (string.IsNullOrEmpty(name) ? "" : " of " + name) + " ran out.");

        private static string LimitOf(string call)
        {
            if (call.Contains("recv")) return "read";
            if (call.Contains("send")) return "write";
            if (call.Contains("accept")) return "accept";
            if (call.Contains("connect")) return "connect";
            return "wait";
        }

        // A call on an object that a close ended, or that found it closed
        // while under way: what a blocked call gets from the library.
        internal static QuorvelException Aborted(string call) =>
            new QuorvelException((int)Status.OperationAborted) { Function = call };

        // A time limit in milliseconds: -1 (Timeout.Infinite) or 0 and more.
        internal static uint Limit(int milliseconds, string name)
        {
            if (milliseconds < -1) throw new ArgumentOutOfRangeException(name, "a time limit is -1 (none) or 0 and more milliseconds");
            return milliseconds == -1 ? Status.Infinite : (uint)milliseconds;
        }

        internal static void Range(byte[] buffer, int offset, int count)
        {
            if (buffer == null) throw new ArgumentNullException(nameof(buffer));
            if (offset < 0) throw new ArgumentOutOfRangeException(nameof(offset));
            if (count < 0) throw new ArgumentOutOfRangeException(nameof(count));
            if (buffer.Length - offset < count) throw new ArgumentException("offset and count reach past the buffer's end");
        }
    }
}
