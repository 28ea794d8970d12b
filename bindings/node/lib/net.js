'use strict';
const { native, status, INFINITE, QuorvelError, callAsync, checked, check, copyOf } = require('./native');
const { Endpoint, EVENT } = require('./endpoint');
const { Stream, toBuffer, address } = require('./stream');

const DOTTED = /^\d{1,3}(\.\d{1,3}){3}$/;
const UDP_MAX = 65507;

// The first IPv4 address of a host name, as text.
async function resolve(name) {
  checkHost(name);
  const length = [0];
  let buffer = Buffer.alloc(128);
  let code = await callAsync('qv_resolve', name, buffer, 64, length);
  if (code === status.INSUFFICIENT_BUFFER) {
    buffer = Buffer.alloc((length[0] + 1) * 2);
    code = await callAsync('qv_resolve', name, buffer, length[0] + 1, length);
  }
  check(code, 'qv_resolve');
  return buffer.toString('utf16le', 0, length[0] * 2);
}

// Text goes to the DLL as a pointer: anything else must stop here.
function checkHost(host) {
  if (typeof host !== 'string' || !host) throw new TypeError('host must be an IPv4 address or a host name');
}

const numeric = async (host) => {
  checkHost(host);
  return DOTTED.test(host) ? host : resolve(host);
};

function checkPort(port, min) {
  if (!Number.isInteger(port) || port < min || port > 65535) {
    throw new RangeError(`port must be an integer from ${min} to 65535`);
  }
}

// A TCP connection (connect(), or a server's 'connection').
class TcpSocket extends Stream {
  // { host, port, timeout (ms, none by default) }
  static async connect({ host = '127.0.0.1', port, timeout = INFINITE } = {}) {
    checkPort(port, 1);
    const made = [0];
    await checked('qv_tcp_connect', await numeric(host), port, timeout, made);
    return new TcpSocket(made[0]);
  }

  address() { return address(this, 'qv_local_address'); }
  remoteAddress() { return address(this, 'qv_peer_address'); }
  // A socket takes what fits in its buffer without waiting.
  get _sendsAtOnce() { return true; }
}

// A TCP server: 'connection' (TcpSocket) for each connection it accepts.
class TcpServer extends Endpoint {
  // { host (every interface by default), port (0: the system chooses) }
  static listen({ host = null, port = 0 } = {}) {
    checkPort(port, 0);
    if (host !== null) checkHost(host);
    const made = [0];
    check(native().qv_tcp_listen(host, port, made), 'qv_tcp_listen');
    return new TcpServer(made[0]);
  }

  address() { return address(this, 'qv_local_address'); }

  _accepted(handle) { return new TcpSocket(handle); }

  _event(event) {
    if (event !== EVENT.CONNECTION_WAITING) return;
    const api = native();
    while (!this._closed) {
      const made = [0];
      const code = api.qv_accept(this._handle, 0, made);
      if (code === status.WAIT_TIMEOUT) return;
      if (code) return this._fail(new QuorvelError(code, 'qv_accept'));
      let connection;
      try {
        connection = this._accepted(made[0]);
      } catch (err) {
        return this._fail(err);
      }
      this.emit('connection', connection);
    }
  }
}

const received = Buffer.alloc(65536);

// A UDP socket bound to a port on every interface: 'message' (Buffer,
// { address, port, size }) for each datagram.
class UdpSocket extends Endpoint {
  // { port (0: the system chooses) }
  static bind({ port = 0 } = {}) {
    checkPort(port, 0);
    const made = [0];
    check(native().qv_udp_open(port, made), 'qv_udp_open');
    return new UdpSocket(made[0]);
  }

  address() { return address(this, 'qv_local_address'); }

  // One datagram (up to 65507 bytes) to host (IPv4 text) and port.
  async send(data, port, host = '127.0.0.1') {
    const buffer = toBuffer(data);
    checkPort(port, 1);
    if (buffer.length > UDP_MAX) throw new RangeError(`a datagram holds at most ${UDP_MAX} bytes`);
    this._checkOpen('qv_udp_send_to');
    await checked('qv_udp_send_to', this._handle, await numeric(host), port, buffer, buffer.length);
  }

  _event(event) {
    if (event !== EVENT.DATA_READY) return;
    const api = native();
    const length = [0];
    const port = [0];
    const sender = Buffer.alloc(128);
    while (!this._closed) {
      sender.fill(0);
      const code = api.qv_udp_recv_from(this._handle, received, received.length, 0, length, sender, 64, port);
      if (code === status.WAIT_TIMEOUT) return;
      // A datagram sent earlier to a port nobody listens on: not this socket's fault.
      if (code === status.WSAECONNRESET) continue;
      if (code) return this._fail(new QuorvelError(code, 'qv_udp_recv_from'));
      const from = sender.toString('utf16le').split('\0')[0];
      this.emit('message', copyOf(received, length[0]),
        { address: from, port: port[0], size: length[0] });
    }
  }
}

module.exports = { TcpSocket, TcpServer, UdpSocket, resolve };
