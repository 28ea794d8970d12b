/// <reference types="node" />
import { EventEmitter } from 'events';

/*
 * Errors. A bad argument, found before the DLL is called, is a TypeError (a
 * wrong type, or a value the package does not take: an unknown parity, a
 * rescanMs, USB id or break length out of range, a malformed GUID) or a
 * RangeError (a TCP or UDP port out of range, a datagram over 65507 bytes):
 * functions that return a Promise reject with it, the others throw it. A
 * call into quorvel.dll that fails (a value only the DLL or the driver can
 * judge included, and any call on a closed endpoint: ERROR_INVALID_HANDLE)
 * gives a QuorvelError. A DLL that cannot be loaded gives a plain Error.
 */

/**
 * Loads quorvel.dll from a path (else QUORVEL_DLL, else the package's own for
 * process.arch: dll/ia32 or dll/x64). Its bitness must be that of node.exe.
 */
export function load(dllPath?: string): void;
/** The DLL's version, "major.minor.patch". */
export function version(): string;

/** A failed call into quorvel.dll: errno is the Windows or Windows Sockets code, code its name. Bad arguments are TypeError or RangeError instead. */
export class QuorvelError extends Error {
  errno: number;
  /** "ERROR_FILE_NOT_FOUND", "WSAECONNREFUSED", ... or "UNKNOWN". */
  code: string;
  /** The C function that failed. */
  syscall?: string;
  /** Bytes sent before a write failed. */
  bytesWritten?: number;
}

export interface WriteOptions {
  /** Milliseconds for the whole write; none by default. */
  timeout?: number;
}

export interface AddressInfo {
  address: string;
  port: number;
}

declare class Endpoint extends EventEmitter {
  readonly closed: boolean;
  /** Closes at once; calls under way reject with ERROR_OPERATION_ABORTED; 'close' is the last event, emitted once (a second close() does nothing). */
  close(): void;
  on(event: 'close', listener: (hadError: boolean) => void): this;
  on(event: 'error', listener: (err: QuorvelError) => void): this;
  on(event: string | symbol, listener: (...args: any[]) => void): this;
}

declare class Stream extends Endpoint {
  /** Sends every byte (strings as UTF-8); resolves with the count after a turn of the event loop. Writes go out in call order. Data of another type rejects with a TypeError. */
  write(data: Buffer | Uint8Array | ArrayBuffer | string, options?: WriteOptions): Promise<number>;
  /** Stops 'data' events; the bytes wait in the library. */
  pause(): this;
  resume(): this;
  counts(): { toRead: number; toSend: number };
  on(event: 'data', listener: (data: Buffer) => void): this;
  /** The peer closed and everything it sent has been emitted; 'close' follows. */
  on(event: 'end', listener: () => void): this;
  on(event: 'close', listener: (hadError: boolean) => void): this;
  on(event: 'error', listener: (err: QuorvelError) => void): this;
  on(event: string | symbol, listener: (...args: any[]) => void): this;
}

export type Parity = 'none' | 'odd' | 'even' | 'mark' | 'space';
export type FlowControl = 'none' | 'rtscts' | 'xonxoff';

export interface LineSettings {
  baudRate: number;
  /** 5 to 8. */
  dataBits: number;
  parity: Parity;
  stopBits: 1 | 1.5 | 2;
  flowControl: FlowControl;
}

export interface SerialOptions extends Partial<LineSettings> {
  /** Bytes that must wait before a 'data' event (1 to 65535; 1 by default). */
  threshold?: number;
}

export interface LineError {
  /** The CE_* flags. */
  errors: number;
  /** Their names: "CE_FRAME", "CE_RXPARITY", "CE_OVERRUN", "CE_RXOVER", "CE_BREAK". */
  names: string[];
  /** Bytes discarded. */
  discarded: number;
}

export type ModemLine = 'cts' | 'dsr' | 'ring' | 'dcd';

/** The input lines; ring is RI, dcd is DCD (RLSD). */
export interface ModemLines {
  cts: boolean;
  dsr: boolean;
  ring: boolean;
  dcd: boolean;
}

export interface ModemChange extends ModemLines {
  /** The lines that changed since the last 'modem' event (a ring is told as it ends). */
  changed: ModemLine[];
}

export class SerialPort extends Stream {
  /** Opens "COM3" or "\\\\.\\COM12"; sets the line when options give a baudRate. */
  static open(port: string, options?: SerialOptions): Promise<SerialPort>;
  readonly port: string;
  /** Settings not given are kept. */
  setLine(settings: Partial<LineSettings>): Promise<void>;
  getLine(): LineSettings;
  setThreshold(bytes: number): void;
  setQueueSizes(receive: number, send: number): void;
  purge(queues?: { receive?: boolean; send?: boolean }): void;
  /** The output lines up (true) or down; lines not given stay. A driver without the line rejects with its error. */
  set(lines: { dtr?: boolean; rts?: boolean; brk?: boolean }): Promise<void>;
  /** A break of ms milliseconds; resolves once the line is free again. */
  sendBreak(ms: number): Promise<void>;
  /** The input lines now. */
  getModemStatus(): ModemLines;
  on(event: 'data', listener: (data: Buffer) => void): this;
  on(event: 'lineError', listener: (error: LineError) => void): this;
  /** CTS, DSR, RI or DCD changed. The port reports these only while someone listens; a driver that cannot makes on() throw its error. */
  on(event: 'modem', listener: (change: ModemChange) => void): this;
  /** The device went away; 'close' follows. */
  on(event: 'removed', listener: () => void): this;
  on(event: 'close', listener: (hadError: boolean) => void): this;
  on(event: 'error', listener: (err: QuorvelError) => void): this;
  on(event: string | symbol, listener: (...args: any[]) => void): this;
}
export function openSerialPort(port: string, options?: SerialOptions): Promise<SerialPort>;

export interface ConnectOptions {
  /** IPv4 text or a host name; 127.0.0.1 by default. */
  host?: string;
  port: number;
  /** Milliseconds; none by default. */
  timeout?: number;
}

export class TcpSocket extends Stream {
  static connect(options: ConnectOptions): Promise<TcpSocket>;
  address(): AddressInfo;
  remoteAddress(): AddressInfo;
}

export class TcpServer extends Endpoint {
  /** host: every interface by default; port 0: the system chooses. A port out of 0 to 65535 throws a RangeError. */
  static listen(options?: { host?: string | null; port?: number }): TcpServer;
  address(): AddressInfo;
  on(event: 'connection', listener: (socket: TcpSocket) => void): this;
  on(event: 'close', listener: (hadError: boolean) => void): this;
  on(event: 'error', listener: (err: QuorvelError) => void): this;
  on(event: string | symbol, listener: (...args: any[]) => void): this;
}

export interface RemoteInfo {
  address: string;
  port: number;
  size: number;
}

export class UdpSocket extends Endpoint {
  /** Bound on every interface; port 0: the system chooses. */
  static bind(options?: { port?: number }): UdpSocket;
  address(): AddressInfo;
  /** One datagram of at most 65507 bytes (more: a RangeError); port 1 to 65535 (else a RangeError). */
  send(data: Buffer | Uint8Array | ArrayBuffer | string, port: number, host?: string): Promise<void>;
  on(event: 'message', listener: (message: Buffer, from: RemoteInfo) => void): this;
  on(event: 'close', listener: (hadError: boolean) => void): this;
  on(event: 'error', listener: (err: QuorvelError) => void): this;
  on(event: string | symbol, listener: (...args: any[]) => void): this;
}

export function connect(options: ConnectOptions): Promise<TcpSocket>;
export function listen(options?: { host?: string | null; port?: number }): TcpServer;
export function bindUdp(options?: { port?: number }): UdpSocket;
/** The first IPv4 address of a host name. */
export function resolve(name: string): Promise<string>;

export interface SerialPortInfo {
  /** "COM3"; empty if unknown. */
  name: string;
  /** What SerialPort.open takes: "\\\\.\\COM3". */
  path: string;
  friendlyName: string;
  hardwareId: string;
  instanceId: string;
  /** The USB serial number; empty if none. */
  serialNumber: string;
  /** USB ids, null where the port is no USB device. */
  vendorId: number | null;
  productId: number | null;
  fromDeviceMap: boolean;
  fromInterface: boolean;
  /** A port of the Bluetooth serial profile: its remote device, "(00:11:22:33:44:55)"; null otherwise. */
  bluetoothAddress: string | null;
  /** That device's name where the system has it ("" if not); null for other ports. */
  bluetoothName: string | null;
}

export interface AdapterInfo {
  index: number;
  /** "{GUID}" */
  name: string;
  description: string;
  /** MIB_IF_TYPE_* */
  type: number;
  dhcpEnabled: boolean;
  /** "11-22-33-44-55-66" */
  mac: string;
  macBytes: Buffer;
  address: string;
  mask: string;
  gateway: string;
}

export interface DeviceInterfaceInfo {
  path: string;
  interfaceClass: string;
  setupClass: string;
  instanceId: string;
  hardwareId: string;
  friendlyName: string;
  location: string;
  description: string;
}

export interface HostInfo {
  address: string;
  mac: string;
  /** Empty if the reverse lookup failed. */
  hostName: string;
}

export function listSerialPorts(): Promise<SerialPortInfo[]>;
export function listAdapters(): Promise<AdapterInfo[]>;
/** Present devices with an interface of a class ("{GUID}"). */
export function listDeviceInterfaces(interfaceClass: string): Promise<DeviceInterfaceInfo[]>;
export function listLocalAddresses(): Promise<string[]>;
/** The live hosts of the local /24 subnet by ARP (several seconds). */
export function scanHosts(options?: { onProgress?: (probed: number, answered: number) => void }): Promise<HostInfo[]>;

export interface WatchOptions {
  /** Report the ports present now as arrivals first (false by default). */
  present?: boolean;
  /** The re-read period in ms beside the device notifications: 2000 by default, 100 to 86400000, or 0 for notifications only. */
  rescanMs?: number;
}

/** Tells when serial ports arrive and leave; keeps the process alive until closed. */
export class PortWatcher extends Endpoint {
  static open(options?: WatchOptions): Promise<PortWatcher>;
  on(event: 'arrival', listener: (port: SerialPortInfo) => void): this;
  on(event: 'removal', listener: (port: SerialPortInfo) => void): this;
  on(event: 'close', listener: (hadError: boolean) => void): this;
  on(event: 'error', listener: (err: QuorvelError) => void): this;
  on(event: string | symbol, listener: (...args: any[]) => void): this;
}
export function watchPorts(options?: WatchOptions): Promise<PortWatcher>;

export interface UsbDevice {
  /** 0 to 0xFFFF. */
  vendorId: number;
  productId: number;
  /** Any letter case; none: any serial number. */
  serialNumber?: string | null;
}
/** Where a USB device is now: the first port with these ids (and serial number), or null. */
export function findPort(device: UsbDevice): Promise<SerialPortInfo | null>;

export namespace bluetooth {
  interface BluetoothDevice {
    /** "(00:11:22:33:44:55)" */
    address: string;
    name: string;
    classOfDevice: number;
    connected: boolean;
    remembered: boolean;
    authenticated: boolean;
  }

  class BluetoothRadio {
    /** By address text; none: the first radio. */
    static open(address?: string | null): BluetoothRadio;
    info(): BluetoothDevice;
    setDiscoverable(on: boolean): Promise<void>;
    setConnectable(on: boolean): Promise<void>;
    close(): void;
  }

  /** Answers pairing requests with a passkey until closed. */
  class Authenticator {
    static open(options: { passkey: string; device?: string | null; radio?: BluetoothRadio | null }): Authenticator;
    close(): void;
  }

  interface RfcommConnectOptions {
    /** "(00:11:22:33:44:55)" */
    device: string;
    /** 1 to 30, or 0 with a service class. */
    channel?: number;
    /** "{GUID}" of a service the system resolves to a channel. */
    service?: string | null;
    timeout?: number;
  }

  class RfcommSocket extends Stream {
    static connect(options: RfcommConnectOptions): Promise<RfcommSocket>;
    address(): AddressInfo;
    remoteAddress(): AddressInfo;
  }

  class RfcommServer extends Endpoint {
    static listen(options: { channel: number; radio?: string | null }): RfcommServer;
    address(): AddressInfo;
    on(event: 'connection', listener: (socket: RfcommSocket) => void): this;
    on(event: 'close', listener: (hadError: boolean) => void): this;
    on(event: 'error', listener: (err: QuorvelError) => void): this;
    on(event: string | symbol, listener: (...args: any[]) => void): this;
  }

  function radios(): Promise<BluetoothDevice[]>;
  /** An inquiry (about 6 s) on a radio, or on every radio. */
  function findDevices(options?: { radio?: BluetoothRadio | null; forgetFirst?: boolean }): Promise<BluetoothDevice[]>;
  /** The devices the system already knows. */
  function knownDevices(): Promise<BluetoothDevice[]>;
  function pair(device: string, passkey: string, options?: { radio?: BluetoothRadio | null }): Promise<void>;
  function unpair(device: string): Promise<void>;
  function enableSerialService(device: string, options?: { radio?: BluetoothRadio | null }): Promise<void>;
  function openRadio(address?: string | null): BluetoothRadio;
  function authenticate(options: { passkey: string; device?: string | null; radio?: BluetoothRadio | null }): Authenticator;
  function connect(options: RfcommConnectOptions): Promise<RfcommSocket>;
  function listen(options: { channel: number; radio?: string | null }): RfcommServer;
}
