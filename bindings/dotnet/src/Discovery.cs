using System;
using System.Collections.Generic;
using System.Linq;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Quorvel
{
    /// <summary>A present device that exposes a device interface class.</summary>
    public sealed class DeviceInterfaceInfo
    {
        internal DeviceInterfaceInfo(QvDeviceInterfaceInfo r)
        {
            InterfaceClass = r.interfaceClass;
            SetupClass = r.setupClass;
            Path = r.path ?? "";
            InstanceId = r.instanceId ?? "";
            HardwareId = r.hardwareId ?? "";
            FriendlyName = r.friendlyName ?? "";
            Location = r.location ?? "";
            Description = r.description ?? "";
        }
        /// <summary>The interface class.</summary>
        public Guid InterfaceClass { get; }
        /// <summary>The owning device's setup class.</summary>
        public Guid SetupClass { get; }
        /// <summary>The interface's path.</summary>
        public string Path { get; }
        /// <summary>The device's instance id.</summary>
        public string InstanceId { get; }
        /// <summary>The device's first hardware id.</summary>
        public string HardwareId { get; }
        /// <summary>Its friendly name.</summary>
        public string FriendlyName { get; }
        /// <summary>Its location.</summary>
        public string Location { get; }
        /// <summary>Its description.</summary>
        public string Description { get; }
    }

    /// <summary>A network adapter (IPv4).</summary>
    public sealed class NetworkAdapterInfo
    {
        internal NetworkAdapterInfo(QvAdapterInfo r)
        {
            Index = (int)r.index;
            Type = (int)r.type;
            DhcpEnabled = r.dhcpEnabled != 0;
            MacAddress = (r.mac ?? new byte[0]).Take((int)Math.Min(r.macLength, 8)).ToArray();
            Name = r.name ?? "";
            Description = r.description ?? "";
            MacText = r.macText ?? "";
            Address = r.address ?? "";
            Mask = r.mask ?? "";
            Gateway = r.gateway ?? "";
        }
        /// <summary>The system's interface index.</summary>
        public int Index { get; }
        /// <summary>MIB_IF_TYPE_*.</summary>
        public int Type { get; }
        /// <summary>Whether DHCP configures it.</summary>
        public bool DhcpEnabled { get; }
        /// <summary>The hardware address's bytes.</summary>
        public byte[] MacAddress { get; }
        /// <summary>The adapter's name ("{GUID}").</summary>
        public string Name { get; }
        /// <summary>Its description.</summary>
        public string Description { get; }
        /// <summary>"11-22-33-44-55-66".</summary>
        public string MacText { get; }
        /// <summary>The first IPv4 address.</summary>
        public string Address { get; }
        /// <summary>Its mask.</summary>
        public string Mask { get; }
        /// <summary>The gateway.</summary>
        public string Gateway { get; }
    }

    /// <summary>A live host of the local subnet.</summary>
    public sealed class HostInfo
    {
        internal HostInfo(QvHostInfo r)
        {
            Address = r.address ?? "";
            MacText = r.macText ?? "";
            HostName = string.IsNullOrEmpty(r.hostName) ? null : r.hostName;
        }
        /// <summary>Its IPv4 address.</summary>
        public string Address { get; }
        /// <summary>Its hardware address, "11-22-33-44-55-66".</summary>
        public string MacText { get; }
        /// <summary>Its name, or null if the reverse lookup failed.</summary>
        public string HostName { get; }
    }

    /// <summary>How far a host scan is.</summary>
    public struct HostScanProgress
    {
        internal HostScanProgress(int probed, int answered) { Probed = probed; Answered = answered; }
        /// <summary>Addresses probed so far, of 254.</summary>
        public int Probed { get; }
        /// <summary>Of them, those that answered.</summary>
        public int Answered { get; }
    }

    /// <summary>The finders: device interfaces, adapters, addresses, the host scan, names.</summary>
    public static class Discovery
    {
        /// <summary>The present devices that expose a device interface class.</summary>
        public static IReadOnlyList<DeviceInterfaceInfo> GetDeviceInterfaces(Guid interfaceClass)
        {
            IntPtr made;
            using (QvHandle list = QvHandle.Made(NativeMethods.qv_find_device_interfaces(ref interfaceClass, out made), made,
                                                 "qv_find_device_interfaces"))
            {
                return Lists.Read(list, (QvHandle l, uint i, ref QvDeviceInterfaceInfo r) => NativeMethods.qv_list_device_interface(l, i, ref r),
                                  () => new QvDeviceInterfaceInfo { size = (uint)Marshal.SizeOf(typeof(QvDeviceInterfaceInfo)) },
                                  r => new DeviceInterfaceInfo(r), "qv_list_device_interface");
            }
        }

        /// <summary>The network adapters (IPv4).</summary>
        public static IReadOnlyList<NetworkAdapterInfo> GetAdapters()
        {
            IntPtr made;
            using (QvHandle list = QvHandle.Made(NativeMethods.qv_find_adapters(out made), made, "qv_find_adapters"))
            {
                return Lists.Read(list, (QvHandle l, uint i, ref QvAdapterInfo r) => NativeMethods.qv_list_adapter(l, i, ref r),
                                  () => new QvAdapterInfo { size = (uint)Marshal.SizeOf(typeof(QvAdapterInfo)) },
                                  r => new NetworkAdapterInfo(r), "qv_list_adapter");
            }
        }

        /// <summary>The local host's IPv4 addresses, as the name service lists them.</summary>
        public static IReadOnlyList<string> GetLocalAddresses()
        {
            IntPtr made;
            using (QvHandle list = QvHandle.Made(NativeMethods.qv_find_local_addresses(out made), made, "qv_find_local_addresses"))
            {
                uint count;
                Errors.Check(NativeMethods.qv_list_count(list, out count), "qv_list_count");
                var items = new List<string>();
                for (uint i = 0; i < count; i++)
                {
                    var text = new StringBuilder(64);
                    uint length;
                    Errors.Check(NativeMethods.qv_list_local_address(list, i, text, (uint)text.Capacity, out length), "qv_list_local_address");
                    items.Add(text.ToString(0, (int)length));
                }
                return items;
            }
        }

        /// <summary>Scans the local /24 subnet by ARP (several seconds) on the calling thread and lists
        /// the hosts that answered; progress (may be null) is told about every 100 ms and at the end,
        /// on the scanning thread.</summary>
        public static IReadOnlyList<HostInfo> FindHosts(IProgress<HostScanProgress> progress = null)
        {
            NativeMethods.ScanProgressProc proc = null;
            if (progress != null) proc = (context, probed, answered) => progress.Report(new HostScanProgress((int)probed, (int)answered));
            IntPtr made;
            uint status = NativeMethods.qv_find_hosts(proc, IntPtr.Zero, out made);
            GC.KeepAlive(proc);  // the library calls it until qv_find_hosts returns
            using (QvHandle list = QvHandle.Made(status, made, "qv_find_hosts"))
            {
                return Lists.Read(list, (QvHandle l, uint i, ref QvHostInfo r) => NativeMethods.qv_list_host(l, i, ref r),
                                  () => new QvHostInfo { size = (uint)Marshal.SizeOf(typeof(QvHostInfo)) },
                                  r => new HostInfo(r), "qv_list_host");
            }
        }

        /// <summary>FindHosts on a pool thread. A cancel ends the wait at once (the task is cancelled,
        /// no progress is told afterwards); the scan itself runs to its end and its list is dropped.</summary>
        public static Task<IReadOnlyList<HostInfo>> FindHostsAsync(IProgress<HostScanProgress> progress = null,
                                                                  CancellationToken cancellationToken = default(CancellationToken))
        {
            cancellationToken.ThrowIfCancellationRequested();
            IProgress<HostScanProgress> told = progress == null ? null
                : new Guarded(progress, cancellationToken);
            Task<IReadOnlyList<HostInfo>> work = Task.Run(() => FindHosts(told));
            return cancellationToken.CanBeCanceled ? Bluetooth.Detach(work, cancellationToken) : work;
        }

        private sealed class Guarded : IProgress<HostScanProgress>
        {
            private readonly IProgress<HostScanProgress> _inner;
            private readonly CancellationToken _cancel;
            internal Guarded(IProgress<HostScanProgress> inner, CancellationToken cancel) { _inner = inner; _cancel = cancel; }
            public void Report(HostScanProgress value)
            {
                if (!_cancel.IsCancellationRequested) _inner.Report(value);
            }
        }

        /// <summary>The first IPv4 address of a host name.</summary>
        public static string Resolve(string name)
        {
            if (name == null) throw new ArgumentNullException(nameof(name));
            var text = new StringBuilder(64);
            uint length;
            Errors.Check(NativeMethods.qv_resolve(name, text, (uint)text.Capacity, out length), "qv_resolve");
            return text.ToString(0, (int)length);
        }

        /// <summary>The first local address whose first octet is none of 0, 127, 169 and 255.</summary>
        public static string FirstLocalAddress()
        {
            var text = new StringBuilder(64);
            uint length;
            Errors.Check(NativeMethods.qv_first_local_address(text, (uint)text.Capacity, out length), "qv_first_local_address");
            return text.ToString(0, (int)length);
        }
    }

    /// <summary>The library itself.</summary>
    public static class QuorvelLibrary
    {
        /// <summary>Loads quorvel.dll from a path before any other call (else the package's own copy
        /// for the process's architecture is used).</summary>
        public static void Load(string path)
        {
            if (path == null) throw new ArgumentNullException(nameof(path));
            Loader.LoadFrom(path);
        }

        /// <summary>Where the process's quorvel.dll was loaded from (loads it if need be).</summary>
        public static string LoadedFrom
        {
            get
            {
                uint ignored;
                NativeMethods.qv_version(out ignored);
                return Loader.LoadedPath();
            }
        }

        /// <summary>The version of quorvel.dll.</summary>
        public static Version Version
        {
            get
            {
                uint v;
                Errors.Check(NativeMethods.qv_version(out v), "qv_version");
                return new Version((int)(v >> 16), (int)(v >> 8 & 0xFF), (int)(v & 0xFF));
            }
        }

        /// <summary>The text of an error code: its name and the system's message.</summary>
        public static string ErrorText(int code) => Errors.Text((uint)code);
    }
}
