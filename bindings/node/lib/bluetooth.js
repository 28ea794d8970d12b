'use strict';
// Bluetooth: radios, device search, pairing, an authenticator that answers
// pairing requests, and RFCOMM connections (streams like TCP's).
const { koffi, native, records, INFINITE, check, checked, guidFromText } = require('./native');
const { find } = require('./discovery');
const { Stream, address } = require('./stream');
const { TcpServer } = require('./net');

const device = (r) => ({
  address: r.address, name: r.name, classOfDevice: r.class_of_device,
  connected: (r.flags & 1) !== 0, remembered: (r.flags & 2) !== 0, authenticated: (r.flags & 4) !== 0,
});
const list = (name, args) => find(name, args, 'qv_list_bth_device', records.bluetooth, device);
const handleOf = (radio) => (radio ? radio._live() : 0);

// A handle of the library that is no endpoint (no events): a radio or an
// authenticator.
class Owned {
  constructor(handle) { this._handle = handle; }
  _live() {
    if (!this._handle) throw new Error('closed');
    return this._handle;
  }
  close() {
    if (this._handle) native().qv_close(this._handle);
    this._handle = 0;
  }
}

class BluetoothRadio extends Owned {
  // A radio by its address text ("(00:11:22:33:44:55)"); none: the first.
  static open(radioAddress = null) {
    const made = [0];
    check(native().qv_bth_radio_open(radioAddress, made), 'qv_bth_radio_open');
    return new BluetoothRadio(made[0]);
  }
  info() {
    const r = { size: koffi.sizeof(records.bluetooth) };
    check(native().qv_bth_radio_info(this._live(), r), 'qv_bth_radio_info');
    return device(r);
  }
  setDiscoverable(on) { return checked('qv_bth_radio_set_discoverable', this._live(), on ? 1 : 0); }
  setConnectable(on) { return checked('qv_bth_radio_set_connectable', this._live(), on ? 1 : 0); }
}

// Answers the pairing requests of a device (none: of every device) on a
// radio (none: any) with a passkey until closed.
class Authenticator extends Owned {
  static open({ passkey, device: remote = null, radio = null }) {
    const made = [0];
    check(native().qv_bth_authenticator_open(handleOf(radio), remote, passkey, made), 'qv_bth_authenticator_open');
    return new Authenticator(made[0]);
  }
}

class RfcommSocket extends Stream {
  // { device (address text), channel (1-30) or service ('{GUID}'), timeout }
  static async connect({ device: remote, channel = 0, service = null, timeout = INFINITE }) {
    const made = [0];
    await checked('qv_rfcomm_connect', remote, service ? guidFromText(service) : null, channel, timeout, made);
    return new RfcommSocket(made[0]);
  }
  address() { return address(this, 'qv_local_address'); }
  remoteAddress() { return address(this, 'qv_peer_address'); }
  get _sendsAtOnce() { return true; }
}

// 'connection' (RfcommSocket) for each connection on a radio's channel.
class RfcommServer extends TcpServer {
  static listen({ channel, radio = null }) {
    const made = [0];
    check(native().qv_rfcomm_listen(radio, channel, made), 'qv_rfcomm_listen');
    return new RfcommServer(made[0]);
  }
  _accepted(handle) { return new RfcommSocket(handle); }
}

module.exports = {
  BluetoothRadio, Authenticator, RfcommSocket, RfcommServer,
  radios: () => list('qv_bth_find_radios', []),
  // An inquiry (about 6 s) on a radio (none: every radio).
  findDevices: ({ radio = null, forgetFirst = false } = {}) =>
    list('qv_bth_find_devices', [handleOf(radio), forgetFirst ? 1 : 0]),
  knownDevices: () => list('qv_bth_lookup_devices', []),
  pair: (remote, passkey, { radio = null } = {}) => checked('qv_bth_pair', handleOf(radio), remote, passkey),
  unpair: (remote) => checked('qv_bth_unpair', remote),
  enableSerialService: (remote, { radio = null } = {}) =>
    checked('qv_bth_enable_serial_service', handleOf(radio), remote),
};
