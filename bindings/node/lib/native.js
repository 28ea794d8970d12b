'use strict';
// quorvel.dll's C interface through koffi: the declarations, the records,
// text and error conversion. Every function returns a status (0 or a
// Windows / Windows Sockets code); results come back through out-arrays.
const path = require('path');
const koffi = require('koffi');

const D = 'uint32_t';
const H = 'uintptr_t';  // qv_handle: opaque and pointer-sized
const P = 'void *';
const S = 'str16';      // const wchar_t*, NULL for null
const outD = koffi.out(koffi.pointer(D));
const outH = koffi.out(koffi.pointer(H));

const text = (cch) => koffi.array('char16_t', cch, 'String');
const GUID = koffi.struct({
  Data1: 'uint32_t', Data2: 'uint16_t', Data3: 'uint16_t', Data4: koffi.array('uint8_t', 8, 'Array'),
});
const records = {
  port: koffi.struct({
    size: D, sources: D, is_usb: D, vendor_id: 'uint16_t', product_id: 'uint16_t',
    name: text(260), path: text(260), friendly_name: text(260), hardware_id: text(260),
    instance_id: text(260), serial_number: text(260),
    is_bluetooth: D, bluetooth_address: text(48), bluetooth_name: text(248),
  }),
  deviceInterface: koffi.struct({
    size: D, interface_class: GUID, setup_class: GUID, path: text(260), instance_id: text(260),
    hardware_id: text(260), friendly_name: text(260), location: text(260), description: text(260),
  }),
  adapter: koffi.struct({
    size: D, index: D, type: D, dhcp_enabled: D, mac_length: D,
    mac: koffi.array('uint8_t', 8, 'Array'), name: text(260), description: text(260),
    mac_text: text(48), address: text(64), mask: text(64), gateway: text(64),
  }),
  host: koffi.struct({ size: D, address: text(64), mac_text: text(48), host_name: text(256) }),
  bluetooth: koffi.struct({
    size: D, class_of_device: D, flags: D, address: text(48), name: text(248),
  }),
};
const io = (record) => koffi.inout(koffi.pointer(record));
const ScanProgress = koffi.proto('__stdcall', 'void', [P, D, D]);

const declarations = {
  qv_version: [outD],
  qv_error_text: [D, P, D, outD],
  qv_close: [H],
  qv_queue_open: [outH],
  qv_set_queue: [H, H],
  qv_wait_event: [H, D, outH, outD, outD],
  qv_send: [H, P, D, D, outD],
  qv_recv_some: [H, P, D, D, outD],
  qv_queue_counts: [H, outD, outD],
  qv_serial_open: [S, outH],
  qv_serial_set_line: [H, D, D, D, D, D],
  qv_serial_get_line: [H, outD, outD, outD, outD, outD],
  qv_serial_purge: [H, D],
  qv_serial_set_queue_sizes: [H, D, D],
  qv_serial_set_threshold: [H, D],
  qv_serial_line_error: [H, outD, outD],
  qv_serial_set_dtr: [H, 'int'],
  qv_serial_set_rts: [H, 'int'],
  qv_serial_set_break: [H, 'int'],
  qv_serial_send_break: [H, D],
  qv_serial_modem_status: [H, outD],
  qv_serial_modem_changes: [H, outD],
  qv_serial_watch_modem: [H, 'int'],
  qv_tcp_connect: [S, D, D, outH],
  qv_tcp_listen: [S, D, outH],
  qv_accept: [H, D, outH],
  qv_local_address: [H, P, D, outD, outD],
  qv_peer_address: [H, P, D, outD, outD],
  qv_udp_open: [D, outH],
  qv_udp_send_to: [H, S, D, P, D],
  qv_udp_recv_from: [H, P, D, D, outD, P, D, outD],
  qv_bth_find_radios: [outH],
  qv_bth_radio_open: [S, outH],
  qv_bth_radio_info: [H, io(records.bluetooth)],
  qv_bth_radio_set_discoverable: [H, 'int'],
  qv_bth_radio_set_connectable: [H, 'int'],
  qv_bth_find_devices: [H, D, outH],
  qv_bth_lookup_devices: [outH],
  qv_bth_pair: [H, S, S],
  qv_bth_unpair: [S],
  qv_bth_enable_serial_service: [H, S],
  qv_bth_authenticator_open: [H, S, S, outH],
  qv_rfcomm_connect: [S, koffi.pointer(GUID), D, D, outH],
  qv_rfcomm_listen: [S, D, outH],
  qv_list_count: [H, outD],
  qv_find_serial_ports: [outH],
  qv_list_serial_port: [H, D, io(records.port)],
  qv_find_device_interfaces: [koffi.pointer(GUID), outH],
  qv_list_device_interface: [H, D, io(records.deviceInterface)],
  qv_find_adapters: [outH],
  qv_list_adapter: [H, D, io(records.adapter)],
  qv_find_local_addresses: [outH],
  qv_list_local_address: [H, D, P, D, outD],
  qv_find_hosts: [koffi.pointer(ScanProgress), P, outH],
  qv_list_host: [H, D, io(records.host)],
  qv_list_bth_device: [H, D, io(records.bluetooth)],
  qv_resolve: [S, P, D, outD],
  // The serial port watch.
  qv_find_usb_port: [D, D, S, outH],
  qv_watch_ports: [D, D, outH],
  qv_watch_take_report: [H, outD, io(records.port)],
};

const INFINITE = 0xFFFFFFFF;
const status = {
  INVALID_HANDLE: 6, INVALID_PARAMETER: 87, INSUFFICIENT_BUFFER: 122, WAIT_TIMEOUT: 258,
  NO_MORE_ITEMS: 259, OPERATION_ABORTED: 995, WSAECONNRESET: 10054, WSAEDISCON: 10101,
};

let api = null;
let loadedFrom = null;

// The package's own quorvel.dll for this Node.js: dll/ia32 or dll/x64.
function packagedDll() {
  if (process.arch !== 'ia32' && process.arch !== 'x64') {
    throw new Error(`quorvel carries quorvel.dll for ia32 and x64, not ${process.arch}: give load(path) or QUORVEL_DLL`);
  }
  return path.join(__dirname, '..', 'dll', process.arch, 'quorvel.dll');
}

// Loads quorvel.dll once: from the path given, else QUORVEL_DLL, else the
// package's own for process.arch.
function load(dllPath) {
  const file = path.resolve(dllPath || process.env.QUORVEL_DLL || packagedDll());
  if (api) {
    if (dllPath && file.toLowerCase() !== loadedFrom.toLowerCase()) {
      throw new Error(`quorvel.dll is already loaded from ${loadedFrom}`);
    }
    return api;
  }
  let lib;
  try {
    lib = koffi.load(file);
  } catch (err) {
    err.message = `cannot load quorvel.dll from ${file} (its bitness must be that of this Node.js, ${process.arch}): ${err.message}`;
    throw err;
  }
  const table = {};
  for (const [name, args] of Object.entries(declarations)) {
    table[name] = lib.func('__stdcall', name, D, args);
  }
  api = table;
  loadedFrom = file;
  return api;
}

const native = () => api || load();
// The file quorvel.dll was loaded from (loading it first).
const dllPath = () => { native(); return loadedFrom; };

// UTF-16 text from a call (buffer, capacity, length-out) that says how much
// room it needs when the buffer is too small.
function readText(call, capacity = 64) {
  for (;;) {
    const buffer = Buffer.alloc(capacity * 2);
    const length = [0];
    const code = call(buffer, capacity, length);
    if (code === status.INSUFFICIENT_BUFFER && length[0] >= capacity) {
      capacity = length[0] + 1;
      continue;
    }
    return { code, text: code ? '' : buffer.toString('utf16le', 0, length[0] * 2) };
  }
}

function errorText(code) {
  const { code: failed, text } = readText((b, c, l) => native().qv_error_text(code, b, c, l), 256);
  return failed ? `error ${code}` : text;
}

// An Error carrying the code (errno), its name (code) and the call that
// failed (syscall).
class QuorvelError extends Error {
  constructor(errno, syscall, message) {
    const described = errorText(errno);
    super(`${syscall ? `${syscall}: ` : ''}${message ? `${message}: ` : ''}${described}`);
    // The library's text names the code: "WSAECONNREFUSED (10061): ...".
    const named = /^([A-Z][A-Z0-9_]+) \(\d+\)/.exec(described);
    this.name = 'QuorvelError';
    this.errno = errno;
    this.code = named ? named[1] : 'UNKNOWN';
    if (syscall) this.syscall = syscall;
  }
}

function check(code, syscall) {
  if (code) throw new QuorvelError(code, syscall);
}

// Calls name on koffi's worker threads: a Promise of the status.
function callAsync(name, ...args) {
  return new Promise((resolve, reject) => {
    native()[name].async(...args, (err, code) => (err ? reject(err) : resolve(code)));
  });
}

// Calls name asynchronously and rejects with a QuorvelError on failure.
async function checked(name, ...args) {
  check(await callAsync(name, ...args), name);
}

// Every item of a finder's list (the list is closed afterwards).
function readList(list, getter, record, convert) {
  const api = native();
  try {
    const count = [0];
    check(api.qv_list_count(list, count), 'qv_list_count');
    const items = [];
    for (let i = 0; i < count[0]; i++) {
      const item = { size: koffi.sizeof(record) };
      check(api[getter](list, i, item), getter);
      items.push(convert(item));
    }
    return items;
  } finally {
    api.qv_close(list);
  }
}

function guidText(g) {
  const hex = (n, w) => n.toString(16).toUpperCase().padStart(w, '0');
  const b = g.Data4.map((x) => hex(x, 2)).join('');
  return `{${hex(g.Data1, 8)}-${hex(g.Data2, 4)}-${hex(g.Data3, 4)}-${b.slice(0, 4)}-${b.slice(4)}}`;
}

function guidFromText(textValue) {
  const m = /^\{?([0-9a-f]{8})-([0-9a-f]{4})-([0-9a-f]{4})-([0-9a-f]{4})-([0-9a-f]{12})\}?$/i.exec(textValue);
  if (!m) throw new TypeError(`not a GUID: ${textValue}`);
  const tail = m[4] + m[5];
  return {
    Data1: parseInt(m[1], 16), Data2: parseInt(m[2], 16), Data3: parseInt(m[3], 16),
    Data4: Array.from({ length: 8 }, (_, i) => parseInt(tail.substr(i * 2, 2), 16)),
  };
}

// The first length bytes of buffer in a Buffer of their own, for received
// data: Buffer.from(a Buffer) took 15 times as long for 256 KiB in the
// Node.js runtime of the tests (measured).
function copyOf(buffer, length) {
  const copy = Buffer.allocUnsafe(length);
  buffer.copy(copy, 0, 0, length);
  return copy;
}

module.exports = {
  copyOf, koffi, load, native, dllPath, declarations, records, status, INFINITE, readText, errorText, QuorvelError,
  check, callAsync, checked, readList, guidText, guidFromText,
};
