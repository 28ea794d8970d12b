// quorvel.dll's C interface (quorvel_c.h) as P/Invoke declarations, its
// records, and the loader that picks the DLL matching the process.
using System;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;

namespace Quorvel
{
    internal static class Status
    {
        internal const uint Success = 0;
        internal const uint InvalidHandle = 6;
        internal const uint InvalidParameter = 87;
        internal const uint InsufficientBuffer = 122;
        internal const uint WaitTimeout = 258;
        internal const uint NoMoreItems = 259;
        internal const uint OperationAborted = 995;
        internal const uint DeviceNotConnected = 1167;
        internal const uint Disconnected = 10101;  // WSAEDISCON: the peer closed, all is read
        internal const uint Infinite = 0xFFFFFFFF;
    }

    internal static class EventCode
    {
        internal const uint DataReady = 0x0001;
        internal const uint ConnectionWaiting = 0x0008;
        internal const uint Closed = 0x0020;
        internal const uint DeviceRemoved = 0x1001;
        internal const uint LineError = 0x1002;
        internal const uint ModemChanged = 0x1003;
        internal const uint PortArrived = 0x1004;
        internal const uint PortRemoved = 0x1005;
    }

    [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Unicode)]
    internal struct QvSerialPortInfo
    {
        internal uint size;
        internal uint sources;
        internal uint isUsb;
        internal ushort vendorId;
        internal ushort productId;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 260)] internal string name;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 260)] internal string path;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 260)] internal string friendlyName;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 260)] internal string hardwareId;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 260)] internal string instanceId;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 260)] internal string serialNumber;
        internal uint isBluetooth;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 48)] internal string bluetoothAddress;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 248)] internal string bluetoothName;
    }

    [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Unicode)]
    internal struct QvDeviceInterfaceInfo
    {
        internal uint size;
        internal Guid interfaceClass;
        internal Guid setupClass;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 260)] internal string path;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 260)] internal string instanceId;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 260)] internal string hardwareId;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 260)] internal string friendlyName;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 260)] internal string location;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 260)] internal string description;
    }

    [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Unicode)]
    internal struct QvAdapterInfo
    {
        internal uint size;
        internal uint index;
        internal uint type;
        internal uint dhcpEnabled;
        internal uint macLength;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 8)] internal byte[] mac;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 260)] internal string name;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 260)] internal string description;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 48)] internal string macText;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 64)] internal string address;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 64)] internal string mask;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 64)] internal string gateway;
    }

    [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Unicode)]
    internal struct QvHostInfo
    {
        internal uint size;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 64)] internal string address;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 48)] internal string macText;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 256)] internal string hostName;
    }

    [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Unicode)]
    internal struct QvBthDevice
    {
        internal uint size;
        internal uint classOfDevice;
        internal uint flags;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 48)] internal string address;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 248)] internal string name;
    }

    // Every function returns a status (0 or a Windows / Windows Sockets code).
    // Handles cross as QvHandle, so that a call under way holds its SafeHandle
    // (QvHandle.CloseNow closes the library's object all the same).
    internal static unsafe class NativeMethods
    {
        private const string Dll = "quorvel";  // no managed assembly of this package has this name

        [UnmanagedFunctionPointer(CallingConvention.Winapi)]
        internal delegate void EventProc(IntPtr context, IntPtr handle, uint evt, uint detail);

        [UnmanagedFunctionPointer(CallingConvention.Winapi)]
        internal delegate void ScanProgressProc(IntPtr context, uint probed, uint answered);

        static NativeMethods()
        {
            Loader.LoadBeforeFirstCall();
        }

        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_version(out uint version);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_error_text(uint code, [Out] StringBuilder text, uint capacity, out uint length);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_close(IntPtr handle);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_set_callback(QvHandle endpoint, EventProc proc, IntPtr context);

        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_send(QvHandle stream, byte* data, uint length, uint timeoutMs, out uint sent);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_recv_some(QvHandle stream, byte* buffer, uint size, uint timeoutMs, out uint received);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_queue_counts(QvHandle stream, out uint toRead, out uint toSend);

        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_serial_open(string port, out IntPtr serial);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_serial_set_line(QvHandle serial, uint baud, uint dataBits, uint parity, uint stopBits, uint flow);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_serial_get_line(QvHandle serial, out uint baud, out uint dataBits, out uint parity, out uint stopBits, out uint flow);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_serial_purge(QvHandle serial, uint queues);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_serial_set_queue_sizes(QvHandle serial, uint receive, uint send);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_serial_line_error(QvHandle serial, out uint errors, out uint discarded);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_serial_set_dtr(QvHandle serial, int on);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_serial_set_rts(QvHandle serial, int on);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_serial_set_break(QvHandle serial, int on);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_serial_send_break(QvHandle serial, uint durationMs);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_serial_modem_status(QvHandle serial, out uint lines);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_serial_watch_modem(QvHandle serial, int enable);

        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_tcp_connect(string address, uint port, uint timeoutMs, out IntPtr connection);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_tcp_listen(string address, uint port, out IntPtr server);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_accept(QvHandle server, uint timeoutMs, out IntPtr connection);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_local_address(QvHandle socket, [Out] StringBuilder text, uint capacity, out uint length, out uint port);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_peer_address(QvHandle socket, [Out] StringBuilder text, uint capacity, out uint length, out uint port);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_udp_open(uint port, out IntPtr udp);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_udp_send_to(QvHandle udp, string address, uint port, byte* data, uint length);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_udp_recv_from(QvHandle udp, byte* buffer, uint size, uint timeoutMs, out uint length,
                                                     [Out] StringBuilder sender, uint senderCapacity, out uint senderPort);

        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_bth_find_radios(out IntPtr list);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_bth_radio_open(string address, out IntPtr radio);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_bth_radio_info(QvHandle radio, ref QvBthDevice info);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_bth_radio_set_discoverable(QvHandle radio, int enable);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_bth_radio_set_connectable(QvHandle radio, int enable);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_bth_find_devices(QvHandle radio, uint flags, out IntPtr list);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_bth_lookup_devices(out IntPtr list);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_bth_pair(QvHandle radio, string device, string passkey);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_bth_unpair(string device);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_bth_enable_serial_service(QvHandle radio, string device);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_bth_authenticator_open(QvHandle radio, string device, string passkey, out IntPtr authenticator);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_rfcomm_connect(string device, Guid* service, uint channel, uint timeoutMs, out IntPtr connection);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_rfcomm_listen(string radio, uint channel, out IntPtr server);

        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_list_count(QvHandle list, out uint count);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_find_serial_ports(out IntPtr list);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_list_serial_port(QvHandle list, uint index, ref QvSerialPortInfo info);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_find_usb_port(uint vendorId, uint productId, string serialNumber, out IntPtr list);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_find_device_interfaces(ref Guid interfaceClass, out IntPtr list);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_list_device_interface(QvHandle list, uint index, ref QvDeviceInterfaceInfo info);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_find_adapters(out IntPtr list);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_list_adapter(QvHandle list, uint index, ref QvAdapterInfo info);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_find_local_addresses(out IntPtr list);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_list_local_address(QvHandle list, uint index, [Out] StringBuilder text, uint capacity, out uint length);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_find_hosts(ScanProgressProc progress, IntPtr context, out IntPtr list);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_list_host(QvHandle list, uint index, ref QvHostInfo info);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_list_bth_device(QvHandle list, uint index, ref QvBthDevice info);

        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_watch_ports(uint flags, uint rescanMs, out IntPtr watch);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_watch_take_report(QvHandle watch, out uint evt, ref QvSerialPortInfo info);

        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_ip_is_usable(string text, out int usable);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_resolve(string name, [Out] StringBuilder address, uint capacity, out uint length);
        [DllImport(Dll, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern uint qv_first_local_address([Out] StringBuilder address, uint capacity, out uint length);
    }

    // For .NET Framework hosts, which do not read a package's runtimes/
    // folder: the package's build targets copy both DLLs into x86\ and x64\
    // beside the program, and the one matching the process is loaded before
    // the first call, so that DllImport finds it loaded by its name. A host
    // that loads the assembly from an unpacked package (PowerShell's
    // Add-Type) gets the package's runtimes\win-<arch>\native copy the same
    // way. .NET Core and .NET 5+ find runtimes\win-<arch>\native\quorvel.dll
    // themselves; a DLL that QuorvelLibrary.Load loaded first wins in either.
    internal static class Loader
    {
        private static readonly object Gate = new object();
        private static string _loadedFrom;

        [DllImport("kernel32.dll", CharSet = CharSet.Unicode, ExactSpelling = true, SetLastError = true)]
        private static extern IntPtr LoadLibraryW(string path);

        [DllImport("kernel32.dll", CharSet = CharSet.Unicode, ExactSpelling = true)]
        private static extern IntPtr GetModuleHandleW(string name);

        [DllImport("kernel32.dll", CharSet = CharSet.Unicode, ExactSpelling = true)]
        private static extern uint GetModuleFileNameW(IntPtr module, [Out] StringBuilder path, uint capacity);

        internal static string Architecture => IntPtr.Size == 8 ? "x64" : "x86";

        internal static void LoadBeforeFirstCall()
        {
            lock (Gate)
            {
                if (_loadedFrom != null || GetModuleHandleW("quorvel.dll") != IntPtr.Zero) return;
                string location = typeof(Loader).Assembly.Location;  // empty for an assembly loaded from bytes
                string assembly = string.IsNullOrEmpty(location) ? "." : Path.GetDirectoryName(location) ?? ".";
                foreach (string candidate in new[]
                         {
                             Path.Combine(AppDomain.CurrentDomain.BaseDirectory ?? ".", Architecture, "quorvel.dll"),
                             Path.Combine(assembly, Architecture, "quorvel.dll"),
                             Path.Combine(assembly, "..", "..", "runtimes", "win-" + Architecture, "native", "quorvel.dll"),
                         })
                {
                    if (!File.Exists(candidate)) continue;
                    LoadFrom(candidate);
                    return;
                }
            }
        }

        internal static void LoadFrom(string path)
        {
            lock (Gate)
            {
                string full = Path.GetFullPath(path);
                if (GetModuleHandleW("quorvel.dll") != IntPtr.Zero)
                {
                    string loaded = LoadedPath();
                    if (string.Equals(loaded, full, StringComparison.OrdinalIgnoreCase)) return;
                    throw new InvalidOperationException("quorvel.dll is already loaded from " + loaded);
                }
                if (LoadLibraryW(full) == IntPtr.Zero)
                {
                    int code = Marshal.GetLastWin32Error();
                    throw new DllNotFoundException("cannot load " + full + ": error " + code);
                }
                _loadedFrom = full;
            }
        }

        // Where the process's quorvel.dll was loaded from; null before.
        internal static string LoadedPath()
        {
            IntPtr module = GetModuleHandleW("quorvel.dll");
            if (module == IntPtr.Zero) return null;
            var path = new StringBuilder(1024);
            uint n = GetModuleFileNameW(module, path, (uint)path.Capacity);
            return n == 0 ? null : path.ToString(0, (int)n);
        }
    }
}
