'use strict';
// The serial port watch: 'arrival' and 'removal' events carrying the port as
// listSerialPorts gives it, and findPort, which answers where a USB device
// is now.
const { koffi, native, records, status, check, checked, QuorvelError } = require('./native');
const { Endpoint } = require('./endpoint');
const { find, port } = require('./discovery');

const PORT_ARRIVED = 0x1004;
const REPORT_PRESENT = 1;
const RESCAN_DEFAULT = 2000;

// { present, rescanMs } with their defaults; a TypeError for others.
function checkWatchOptions({ present = false, rescanMs = RESCAN_DEFAULT } = {}) {
  const ms = rescanMs;
  if (!Number.isInteger(ms) || ms < 0 || (ms > 0 && ms < 100) || ms > 86400000) {
    throw new TypeError('rescanMs must be 0 or an integer from 100 to 86400000');
  }
  return { present: Boolean(present), rescanMs: ms };
}

// 'arrival' (port), 'removal' (port), 'error', 'close'.
class PortWatcher extends Endpoint {
  // { present: report the ports present now as arrivals first (false),
  //   rescanMs: the re-read period beside the device notifications (2000;
  //   0: notifications only) }.
  static async open(options = {}) {
    const { present, rescanMs } = checkWatchOptions(options);
    const made = [0];
    await checked('qv_watch_ports', present ? REPORT_PRESENT : 0, rescanMs, made);
    return new PortWatcher(made[0]);
  }

  // Every report waiting: queued events coalesce, so one event may stand for
  // several reports, and a later one may find them taken.
  _event() {
    while (!this._closed) {
      const record = { size: koffi.sizeof(records.port) };
      const event = [0];
      const code = native().qv_watch_take_report(this._handle, event, record);
      if (code === status.NO_MORE_ITEMS) return;
      if (code) {
        this._fail(new QuorvelError(code, 'qv_watch_take_report'));
        return;
      }
      this.emit(event[0] === PORT_ARRIVED ? 'arrival' : 'removal', port(record));
    }
  }
}

function id16(value, what) {
  if (!Number.isInteger(value) || value < 0 || value > 0xFFFF) {
    throw new TypeError(`${what} must be an integer from 0 to 0xFFFF`);
  }
  return value;
}

// Where a USB device is now: the first port with these ids (and this serial
// number, any letter case, unless none is given), or null.
async function findPort({ vendorId, productId, serialNumber = null } = {}) {
  if (serialNumber !== null && typeof serialNumber !== 'string') {
    throw new TypeError('serialNumber must be a string');
  }
  const found = await find('qv_find_usb_port',
    [id16(vendorId, 'vendorId'), id16(productId, 'productId'), serialNumber || null],
    'qv_list_serial_port', records.port, port);
  return found.length ? found[0] : null;
}

module.exports = { PortWatcher, checkWatchOptions, watchPorts: (options) => PortWatcher.open(options), findPort };
