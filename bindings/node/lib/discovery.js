'use strict';
// The finders: each takes a snapshot on a worker thread (some take
// seconds) and resolves with plain objects.
const { native, records, check, checked, readList, readText, guidText, guidFromText } = require('./native');

// Runs a finder (name, its arguments before the list's out-pointer) and
// reads its list.
async function find(name, args, getter, record, convert) {
  const made = [0];
  await checked(name, ...args, made);
  return readList(made[0], getter, record, convert);
}

const port = (r) => ({
  name: r.name, path: r.path, friendlyName: r.friendly_name, hardwareId: r.hardware_id,
  instanceId: r.instance_id, serialNumber: r.serial_number,
  vendorId: r.is_usb ? r.vendor_id : null, productId: r.is_usb ? r.product_id : null,
  fromDeviceMap: (r.sources & 1) !== 0, fromInterface: (r.sources & 2) !== 0,
  bluetoothAddress: r.is_bluetooth ? r.bluetooth_address : null,
  bluetoothName: r.is_bluetooth ? r.bluetooth_name : null,
});

const adapter = (r) => ({
  index: r.index, name: r.name, description: r.description, type: r.type,
  dhcpEnabled: r.dhcp_enabled !== 0, mac: r.mac_text, macBytes: Buffer.from(r.mac.slice(0, r.mac_length)),
  address: r.address, mask: r.mask, gateway: r.gateway,
});

const deviceInterface = (r) => ({
  path: r.path, interfaceClass: guidText(r.interface_class), setupClass: guidText(r.setup_class),
  instanceId: r.instance_id, hardwareId: r.hardware_id, friendlyName: r.friendly_name,
  location: r.location, description: r.description,
});

const host = (r) => ({ address: r.address, mac: r.mac_text, hostName: r.host_name });

// Every serial port once, in natural order (COM2, COM10), with its USB ids.
const listSerialPorts = () => find('qv_find_serial_ports', [], 'qv_list_serial_port', records.port, port);

// The network adapters (IPv4).
const listAdapters = () => find('qv_find_adapters', [], 'qv_list_adapter', records.adapter, adapter);

// The present devices with an interface of a class ('{GUID}').
const listDeviceInterfaces = async (interfaceClass) => find('qv_find_device_interfaces',
  [guidFromText(interfaceClass)], 'qv_list_device_interface', records.deviceInterface, deviceInterface);

// The local host's IPv4 addresses.
async function listLocalAddresses() {
  const made = [0];
  await checked('qv_find_local_addresses', made);
  const api = native();
  const count = [0];
  try {
    check(api.qv_list_count(made[0], count), 'qv_list_count');
    return Array.from({ length: count[0] }, (_, i) => {
      const { code, text } = readText((b, c, l) => api.qv_list_local_address(made[0], i, b, c, l));
      check(code, 'qv_list_local_address');
      return text;
    });
  } finally {
    api.qv_close(made[0]);
  }
}

// The live hosts of the local /24 subnet, by ARP (several seconds).
// onProgress(probed, answered) runs on Node's thread while it scans.
function scanHosts({ onProgress } = {}) {
  const progress = onProgress ? (context, probed, answered) => onProgress(probed, answered) : null;
  return find('qv_find_hosts', [progress, null], 'qv_list_host', records.host, host);
}

function version() {
  const v = [0];
  check(native().qv_version(v), 'qv_version');
  return `${v[0] >>> 16}.${(v[0] >>> 8) & 0xff}.${v[0] & 0xff}`;
}

module.exports = {
  listSerialPorts, listAdapters, listDeviceInterfaces, listLocalAddresses, scanHosts, version, find, port,
};
