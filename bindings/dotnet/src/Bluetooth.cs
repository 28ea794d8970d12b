using System;
using System.Collections.Generic;
using System.Threading;
using System.Threading.Tasks;

namespace Quorvel
{
    /// <summary>A Bluetooth radio or remote device.</summary>
    public sealed class BluetoothDeviceInfo
    {
        internal BluetoothDeviceInfo(QvBthDevice r)
        {
            Address = r.address ?? "";
            Name = r.name ?? "";
            ClassOfDevice = (int)r.classOfDevice;
            Connected = (r.flags & 1) != 0;
            Remembered = (r.flags & 2) != 0;
            Authenticated = (r.flags & 4) != 0;
        }

        /// <summary>"(00:11:22:33:44:55)".</summary>
        public string Address { get; }
        /// <summary>The name it gives.</summary>
        public string Name { get; }
        /// <summary>The class of device.</summary>
        public int ClassOfDevice { get; }
        /// <summary>Connected now (remote devices of a search).</summary>
        public bool Connected { get; }
        /// <summary>Remembered by the system.</summary>
        public bool Remembered { get; }
        /// <summary>Paired (authenticated).</summary>
        public bool Authenticated { get; }

        /// <inheritdoc/>
        public override string ToString() => Name + " " + Address;

        internal static QvBthDevice NewRecord() =>
            new QvBthDevice { size = (uint)System.Runtime.InteropServices.Marshal.SizeOf(typeof(QvBthDevice)) };

        internal static IReadOnlyList<BluetoothDeviceInfo> Read(uint status, IntPtr made, string call)
        {
            using (QvHandle list = QvHandle.Made(status, made, call))
            {
                return Lists.Read(list, (QvHandle l, uint i, ref QvBthDevice r) => NativeMethods.qv_list_bth_device(l, i, ref r),
                                  NewRecord, r => new BluetoothDeviceInfo(r), "qv_list_bth_device");
            }
        }
    }

    /// <summary>A local Bluetooth radio. Calls on one radio take their turn; disposing it waits for
    /// the call under way.</summary>
    public sealed class BluetoothRadio : IDisposable
    {
        internal readonly QvHandle Handle;

        private BluetoothRadio(QvHandle handle) { Handle = handle; }

        /// <summary>The local radios.</summary>
        public static IReadOnlyList<BluetoothDeviceInfo> GetRadios()
        {
            IntPtr list;
            return BluetoothDeviceInfo.Read(NativeMethods.qv_bth_find_radios(out list), list, "qv_bth_find_radios");
        }

        /// <summary>Opens a radio by its address text; null: the first radio.</summary>
        public static BluetoothRadio Open(string address = null)
        {
            IntPtr made;
            return new BluetoothRadio(QvHandle.Made(NativeMethods.qv_bth_radio_open(address, out made), made, "qv_bth_radio_open"));
        }

        /// <summary>The radio's address, name and class.</summary>
        public BluetoothDeviceInfo Info
        {
            get
            {
                QvBthDevice r = BluetoothDeviceInfo.NewRecord();
                Errors.Check(NativeMethods.qv_bth_radio_info(Handle, ref r), "qv_bth_radio_info");
                return new BluetoothDeviceInfo(r);
            }
        }

        /// <summary>Makes the radio discoverable (or not).</summary>
        public void SetDiscoverable(bool enable) =>
            Errors.Check(NativeMethods.qv_bth_radio_set_discoverable(Handle, enable ? 1 : 0), "qv_bth_radio_set_discoverable");

        /// <summary>Lets remote devices connect (or not).</summary>
        public void SetConnectable(bool enable) =>
            Errors.Check(NativeMethods.qv_bth_radio_set_connectable(Handle, enable ? 1 : 0), "qv_bth_radio_set_connectable");

        /// <summary>Closes the radio's handle.</summary>
        public void Dispose() => Handle.CloseNow();

        internal static QvHandle Of(BluetoothRadio radio) => radio?.Handle ?? None;

        // The NULL handle the calls take for "any radio".
        private static readonly QvHandle None = new QvHandle(IntPtr.Zero);
    }

    /// <summary>Searches, pairing and the serial service.</summary>
    public static class Bluetooth
    {
        /// <summary>Runs an inquiry to its end (about 6 s) on a radio (null: every radio) and lists the
        /// devices found; forgetFirst: only devices the radio did not remember, after forgetting each.</summary>
        public static IReadOnlyList<BluetoothDeviceInfo> FindDevices(BluetoothRadio radio = null, bool forgetFirst = false)
        {
            IntPtr list;
            return BluetoothDeviceInfo.Read(NativeMethods.qv_bth_find_devices(BluetoothRadio.Of(radio), forgetFirst ? 1u : 0u, out list),
                                            list, "qv_bth_find_devices");
        }

        /// <summary>FindDevices on a pool thread. A cancel stops the waiting, not the inquiry, which
        /// runs to its end.</summary>
        public static Task<IReadOnlyList<BluetoothDeviceInfo>> FindDevicesAsync(BluetoothRadio radio = null, bool forgetFirst = false,
                                                                              CancellationToken cancellationToken = default(CancellationToken))
        {
            Task<IReadOnlyList<BluetoothDeviceInfo>> work = Task.Run(() => FindDevices(radio, forgetFirst));
            return cancellationToken.CanBeCanceled ? Detach(work, cancellationToken) : work;
        }

        /// <summary>The devices the Windows Sockets Bluetooth name space knows.</summary>
        public static IReadOnlyList<BluetoothDeviceInfo> LookupDevices()
        {
            IntPtr list;
            return BluetoothDeviceInfo.Read(NativeMethods.qv_bth_lookup_devices(out list), list, "qv_bth_lookup_devices");
        }

        /// <summary>Pairs with a device using a passkey (1 to 15 characters) through a radio (null: any).</summary>
        public static void Pair(string device, string passkey, BluetoothRadio radio = null)
        {
            if (device == null) throw new ArgumentNullException(nameof(device));
            if (passkey == null) throw new ArgumentNullException(nameof(passkey));
            if (passkey.Length < 1 || passkey.Length > 15) throw new ArgumentOutOfRangeException(nameof(passkey), "1 to 15 characters");
            Errors.Check(NativeMethods.qv_bth_pair(BluetoothRadio.Of(radio), device, passkey), "qv_bth_pair");
        }

        /// <summary>Makes the system forget a device.</summary>
        public static void Unpair(string device) =>
            Errors.Check(NativeMethods.qv_bth_unpair(device ?? throw new ArgumentNullException(nameof(device))), "qv_bth_unpair");

        /// <summary>Enables the serial port service of a paired device (the system then makes a port).</summary>
        public static void EnableSerialService(string device, BluetoothRadio radio = null) =>
            Errors.Check(NativeMethods.qv_bth_enable_serial_service(BluetoothRadio.Of(radio),
                                                                    device ?? throw new ArgumentNullException(nameof(device))),
                         "qv_bth_enable_serial_service");

        internal static Task<T> Detach<T>(Task<T> work, CancellationToken cancel)
        {
            var result = new TaskCompletionSource<T>(TaskCreationOptions.RunContinuationsAsynchronously);
            CancellationTokenRegistration registration = cancel.Register(() => result.TrySetCanceled(cancel));
            work.ContinueWith(t =>
            {
                registration.Dispose();
                if (t.IsFaulted) result.TrySetException(t.Exception.InnerExceptions);
                else if (t.IsCanceled) result.TrySetCanceled();
                else result.TrySetResult(t.Result);
            }, TaskScheduler.Default);
            return result.Task;
        }
    }

    /// <summary>Answers the authentication requests of a device (null: every device) with a passkey
    /// until disposed.</summary>
    public sealed class BluetoothAuthenticator : IDisposable
    {
        private readonly QvHandle _handle;

        /// <summary>Starts answering, on a radio (null: any radio).</summary>
        public BluetoothAuthenticator(string passkey, string device = null, BluetoothRadio radio = null)
        {
            if (passkey == null) throw new ArgumentNullException(nameof(passkey));
            if (passkey.Length < 1 || passkey.Length > 15) throw new ArgumentOutOfRangeException(nameof(passkey), "1 to 15 characters");
            IntPtr made;
            _handle = QvHandle.Made(NativeMethods.qv_bth_authenticator_open(BluetoothRadio.Of(radio), device, passkey, out made),
                                    made, "qv_bth_authenticator_open");
        }

        /// <summary>Stops answering.</summary>
        public void Dispose() => _handle.CloseNow();
    }

    /// <summary>An RFCOMM connection to a Bluetooth device.</summary>
    public sealed class RfcommConnection : Connection
    {
        private string _name;

        internal RfcommConnection(QvHandle handle) : base(handle)
        {
            Channel.Describe = () => _name ?? (_name = "the RFCOMM connection to " + RemoteAddress + " channel " + RemoteChannel);
        }

        /// <summary>Connects to a device on a channel (1 to 30) within timeoutMs.</summary>
        public static RfcommConnection Connect(string device, int channel, int timeoutMs = 10000)
        {
            if (device == null) throw new ArgumentNullException(nameof(device));
            if (channel < 1 || channel > 30) throw new ArgumentOutOfRangeException(nameof(channel), "1 to 30");
            return Connect(device, null, (uint)channel, timeoutMs);
        }

        /// <summary>Connects to a device's service class, whose channel the system resolves.</summary>
        public static RfcommConnection Connect(string device, Guid service, int timeoutMs = 10000)
        {
            if (device == null) throw new ArgumentNullException(nameof(device));
            return Connect(device, service, 0, timeoutMs);
        }

        private static unsafe RfcommConnection Connect(string device, Guid? service, uint channel, int timeoutMs)
        {
            uint limit = Errors.Limit(timeoutMs, nameof(timeoutMs));
            Guid g = service ?? Guid.Empty;
            IntPtr made;
            uint status = NativeMethods.qv_rfcomm_connect(device, service.HasValue ? &g : null, channel, limit, out made);
            return new RfcommConnection(QvHandle.Made(status, made, "qv_rfcomm_connect", device + (service.HasValue ? " " + g : " channel " + channel)));
        }

        /// <summary>The peer's address text.</summary>
        public string RemoteAddress => AddressText(Channel, true, out int ignored);
        /// <summary>The channel.</summary>
        public int RemoteChannel
        {
            get
            {
                AddressText(Channel, true, out int port);
                return port;
            }
        }
    }

    /// <summary>Listens for RFCOMM connections on a radio's channel (it publishes no service record).</summary>
    public sealed class RfcommServer : Server<RfcommConnection>
    {
        private RfcommServer(QvHandle handle) : base(handle)
        {
            Channel.Describe = () => "the RFCOMM server on channel " + ListeningChannel;
        }

        /// <summary>Listens on a channel of a radio (address text; null: any radio).</summary>
        public static RfcommServer Listen(int channel, string radio = null)
        {
            if (channel < 0 || channel > 30) throw new ArgumentOutOfRangeException(nameof(channel), "0 to 30");
            IntPtr made;
            return new RfcommServer(QvHandle.Made(NativeMethods.qv_rfcomm_listen(radio, (uint)channel, out made), made, "qv_rfcomm_listen"));
        }

        /// <summary>The channel listened on.</summary>
        public int ListeningChannel
        {
            get
            {
                Connection.AddressText(Channel, false, out int port);
                return port;
            }
        }

        internal override RfcommConnection Wrap(QvHandle handle) => new RfcommConnection(handle);
    }
}
