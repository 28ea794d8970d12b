using System;
using System.Collections.Generic;
using System.Threading;

namespace Quorvel
{
    /// <summary>Where the system learned of a port.</summary>
    [Flags]
    public enum PortSources
    {
        /// <summary>None.</summary>
        None = 0,
        /// <summary>The registry's device map (SERIALCOMM).</summary>
        DeviceMap = 1,
        /// <summary>A present device of the COM-port interface class.</summary>
        DeviceInterface = 2,
    }

    /// <summary>A serial port as the system lists it: name, path, friendly name, USB ids and serial
    /// number, the Bluetooth device of a Bluetooth serial port.</summary>
    public sealed class SerialPortInfo
    {
        internal SerialPortInfo(QvSerialPortInfo r)
        {
            Name = r.name ?? "";
            Path = r.path ?? "";
            FriendlyName = r.friendlyName ?? "";
            HardwareId = r.hardwareId ?? "";
            InstanceId = r.instanceId ?? "";
            SerialNumber = string.IsNullOrEmpty(r.serialNumber) ? null : r.serialNumber;
            if (r.isUsb != 0)
            {
                VendorId = r.vendorId;
                ProductId = r.productId;
            }
            if (r.isBluetooth != 0)
            {
                BluetoothAddress = r.bluetoothAddress;
                BluetoothName = string.IsNullOrEmpty(r.bluetoothName) ? null : r.bluetoothName;
            }
            Sources = (PortSources)r.sources;
        }

        /// <summary>"COM3"; empty if the system gave no name.</summary>
        public string Name { get; }
        /// <summary>What SerialPort opens: "\\.\COM3".</summary>
        public string Path { get; }
        /// <summary>"USB Serial Port (COM3)"; empty if none.</summary>
        public string FriendlyName { get; }
        /// <summary>The device's first hardware id.</summary>
        public string HardwareId { get; }
        /// <summary>The device's instance id.</summary>
        public string InstanceId { get; }
        /// <summary>The USB serial number, or null.</summary>
        public string SerialNumber { get; }
        /// <summary>The USB vendor id, or null for a port that is not USB.</summary>
        public int? VendorId { get; }
        /// <summary>The USB product id, or null for a port that is not USB.</summary>
        public int? ProductId { get; }
        /// <summary>The remote device of a Bluetooth serial port, "(00:11:22:33:44:55)", or null.</summary>
        public string BluetoothAddress { get; }
        /// <summary>That device's name where the system has it, or null.</summary>
        public string BluetoothName { get; }
        /// <summary>Where the system listed the port.</summary>
        public PortSources Sources { get; }
        /// <summary>Whether the port is a USB device's.</summary>
        public bool IsUsb => VendorId.HasValue;

        /// <inheritdoc/>
        public override string ToString() => string.IsNullOrEmpty(FriendlyName) ? Name : Name + " (" + FriendlyName + ")";

        /// <summary>Every serial port present, once each, in natural order of the name.</summary>
        public static IReadOnlyList<SerialPortInfo> GetPorts()
        {
            IntPtr list;
            return Read(NativeMethods.qv_find_serial_ports(out list), list, "qv_find_serial_ports");
        }

        /// <summary>Where a USB device is now: the first port with these ids (0 to 0xFFFF) and, unless
        /// serialNumber is null or empty, this serial number (any letter case); null when absent.</summary>
        public static SerialPortInfo FindUsbPort(int vendorId, int productId, string serialNumber = null)
        {
            if (vendorId < 0 || vendorId > 0xFFFF) throw new ArgumentOutOfRangeException(nameof(vendorId));
            if (productId < 0 || productId > 0xFFFF) throw new ArgumentOutOfRangeException(nameof(productId));
            IntPtr list;
            var found = Read(NativeMethods.qv_find_usb_port((uint)vendorId, (uint)productId,
                                                           string.IsNullOrEmpty(serialNumber) ? null : serialNumber, out list),
                             list, "qv_find_usb_port");
            return found.Count > 0 ? found[0] : null;
        }

        internal static QvSerialPortInfo NewRecord() =>
            new QvSerialPortInfo { size = (uint)System.Runtime.InteropServices.Marshal.SizeOf(typeof(QvSerialPortInfo)) };

        private static IReadOnlyList<SerialPortInfo> Read(uint status, IntPtr made, string call)
        {
            using (QvHandle list = QvHandle.Made(status, made, call))
            {
                return Lists.Read(list, (QvHandle l, uint i, ref QvSerialPortInfo r) => NativeMethods.qv_list_serial_port(l, i, ref r),
                                  NewRecord, r => new SerialPortInfo(r), "qv_list_serial_port");
            }
        }
    }

    /// <summary>The arguments of <see cref="PortWatcher"/>'s events.</summary>
    public sealed class PortEventArgs : EventArgs
    {
        internal PortEventArgs(SerialPortInfo port) { Port = port; }
        /// <summary>The port as the port list has it.</summary>
        public SerialPortInfo Port { get; }
    }

    /// <summary>Tells while it runs when serial ports arrive and leave, so that a program finds
    /// its USB adapter again under whatever name Windows gave it this time. Events are raised on
    /// thread-pool threads, one after the other.</summary>
    public sealed class PortWatcher : IDisposable, IEventSink
    {
        private readonly object _gate = new object();
        private Channel _channel;
        private int _rescan = 2000;

        /// <summary>A port arrived.</summary>
        public event EventHandler<PortEventArgs> Arrived;
        /// <summary>A port left.</summary>
        public event EventHandler<PortEventArgs> Removed;

        /// <summary>Whether Start reports the ports present then as arrived first (false).</summary>
        public bool ReportPresent { get; set; }

        /// <summary>Milliseconds between the re-reads that run whether or not the system notifies
        /// (2000; 0: device notifications only; else 100 to 86400000).</summary>
        public int RescanMilliseconds
        {
            get => _rescan;
            set
            {
                if (value < 0 || (value > 0 && value < 100) || value > 86400000)
                    throw new ArgumentOutOfRangeException(nameof(RescanMilliseconds), "0, or 100 to 86400000");
                _rescan = value;
            }
        }

        /// <summary>Whether the watch runs.</summary>
        public bool IsRunning => _channel != null;

        /// <summary>Starts watching; attach the handlers first.</summary>
        public void Start()
        {
            lock (_gate)
            {
                if (_channel != null) throw new InvalidOperationException("The watch already runs.");
                IntPtr made;
                var ch = new Channel(QvHandle.Made(NativeMethods.qv_watch_ports(ReportPresent ? 1u : 0u, (uint)_rescan, out made),
                                                   made, "qv_watch_ports"), this, typeof(PortWatcher).FullName);
                try
                {
                    ch.Listen();
                }
                catch
                {
                    ch.Close();
                    throw;
                }
                _channel = ch;
                // Reports made before the callback was set are taken as well.
                ThreadPool.UnsafeQueueUserWorkItem(_ => ((IEventSink)this).OnEvent(ch, 0, 0), null);
            }
        }

        /// <summary>Stops watching; no event is raised once it returns (but for a handler
        /// running now).</summary>
        public void Stop()
        {
            Channel ch;
            lock (_gate)
            {
                ch = _channel;
                _channel = null;
            }
            ch?.Close();
        }

        /// <summary>Stops watching.</summary>
        public void Dispose() => Stop();

        void IEventSink.OnEvent(Channel ch, uint evt, uint detail)
        {
            // Every report waiting: events coalesce, and one may find its report taken.
            lock (ch)
            {
                while (_channel == ch)
                {
                    QvSerialPortInfo record = SerialPortInfo.NewRecord();
                    uint what;
                    uint status;
                    try
                    {
                        status = NativeMethods.qv_watch_take_report(ch.Handle, out what, ref record);
                    }
                    catch (ObjectDisposedException)
                    {
                        return;
                    }
                    if (status != 0) return;  // none waits, or the watch was closed
                    var args = new PortEventArgs(new SerialPortInfo(record));
                    if (what == EventCode.PortArrived) Arrived?.Invoke(this, args);
                    else Removed?.Invoke(this, args);
                }
            }
        }
    }

    internal static class Lists
    {
        internal delegate uint Getter<T>(QvHandle list, uint index, ref T record);

        internal static IReadOnlyList<TItem> Read<TRecord, TItem>(QvHandle list, Getter<TRecord> get, Func<TRecord> make,
                                                                 Func<TRecord, TItem> convert, string call)
        {
            uint count;
            Errors.Check(NativeMethods.qv_list_count(list, out count), "qv_list_count");
            var items = new List<TItem>((int)count);
            for (uint i = 0; i < count; i++)
            {
                TRecord record = make();
                Errors.Check(get(list, i, ref record), call);
                items.Add(convert(record));
            }
            return items;
        }
    }
}
