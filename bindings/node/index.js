'use strict';
// quorvel for Node.js on Windows: serial ports, TCP, UDP, Bluetooth and
// discovery through quorvel.dll's C interface (koffi, no native build).
const { load, QuorvelError } = require('./lib/native');
const { SerialPort } = require('./lib/serial');
const { TcpSocket, TcpServer, UdpSocket, resolve } = require('./lib/net');
const discovery = require('./lib/discovery');
const bluetooth = require('./lib/bluetooth');
const watch = require('./lib/watch');

module.exports = {
  // Loads quorvel.dll from a path (else QUORVEL_DLL, else this package's
  // folder); the first call of anything else does so by itself.
  load: (dllPath) => { load(dllPath); },
  version: discovery.version,
  QuorvelError,
  SerialPort,
  openSerialPort: (port, options) => SerialPort.open(port, options),
  TcpSocket,
  TcpServer,
  UdpSocket,
  connect: (options) => TcpSocket.connect(options),
  listen: (options) => TcpServer.listen(options),
  bindUdp: (options) => UdpSocket.bind(options),
  resolve,
  listSerialPorts: discovery.listSerialPorts,
  listAdapters: discovery.listAdapters,
  listDeviceInterfaces: discovery.listDeviceInterfaces,
  listLocalAddresses: discovery.listLocalAddresses,
  scanHosts: discovery.scanHosts,
  // The serial port watch.
  PortWatcher: watch.PortWatcher,
  watchPorts: watch.watchPorts,
  findPort: watch.findPort,
  bluetooth: {
    BluetoothRadio: bluetooth.BluetoothRadio,
    Authenticator: bluetooth.Authenticator,
    RfcommSocket: bluetooth.RfcommSocket,
    RfcommServer: bluetooth.RfcommServer,
    radios: bluetooth.radios,
    findDevices: bluetooth.findDevices,
    knownDevices: bluetooth.knownDevices,
    pair: bluetooth.pair,
    unpair: bluetooth.unpair,
    enableSerialService: bluetooth.enableSerialService,
    openRadio: (address) => bluetooth.BluetoothRadio.open(address),
    authenticate: (options) => bluetooth.Authenticator.open(options),
    connect: (options) => bluetooth.RfcommSocket.connect(options),
    listen: (options) => bluetooth.RfcommServer.listen(options),
  },
};
