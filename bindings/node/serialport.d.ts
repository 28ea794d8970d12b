/// <reference types="node" />
// quorvel as a binding for node-serialport: the BindingInterface of
// @serialport/bindings-interface 1.2, declared here without depending on it
// (the shapes are the same).
import { EventEmitter } from 'events';
import { QuorvelError } from './index';

/** A port as list() and watch() give it; fields the system does not know are undefined. */
export interface QuorvelPortInfo {
  /** "COM3": what open() takes. */
  path: string;
  /** Not known to quorvel: always undefined. */
  manufacturer: string | undefined;
  /** The USB serial number. */
  serialNumber: string | undefined;
  /** The device instance id, "USB\\VID_0403&PID_6001\\A50285BI". */
  pnpId: string | undefined;
  /** The device's location text, "Port_#0001.Hub_#0001". */
  locationId: string | undefined;
  /** Four hexadecimal digits in upper case, "6001". */
  productId: string | undefined;
  /** Four hexadecimal digits in upper case, "0403". */
  vendorId: string | undefined;
  /** "USB Serial Port (COM3)". */
  friendlyName: string | undefined;
}

export interface QuorvelOpenOptions {
  /** "COM3", "com3" or "\\\\.\\COM12". Missing or empty: a TypeError. */
  path: string;
  /** Any rate the driver takes, standard or not. Missing: a TypeError. */
  baudRate: number;
  /** 8 by default. */
  dataBits?: 5 | 6 | 7 | 8;
  /** true by default; false is refused (a TypeError): a port opens for one process. */
  lock?: boolean;
  /** 1 by default. */
  stopBits?: 1 | 1.5 | 2;
  /** 'none' by default. */
  parity?: 'none' | 'even' | 'odd' | 'mark' | 'space';
  /** RTS/CTS handshake; cannot be combined with xon or xoff (a TypeError). */
  rtscts?: boolean;
  /** xon or xoff: XON/XOFF flow control, both ways. */
  xon?: boolean;
  xoff?: boolean;
  /** Accepted; Windows has no such mode. */
  xany?: boolean;
  /** true by default; false keeps DTR low from the open on (where the driver has DTR). */
  hupcl?: boolean;
}

/** A rejection of read() or write(): canceled by close(), or disconnected (the device went away). */
export interface QuorvelPortError extends Error {
  canceled?: boolean;
  disconnected?: boolean;
  /** The failed call's code and name, where one failed. */
  errno?: number;
  code?: string;
  cause?: QuorvelError;
}

/** The port object that SerialPortStream drives (BindingPortInterface). */
export class QuorvelPortBinding {
  readonly openOptions: Required<QuorvelOpenOptions>;
  /** true from open() until close(); also after the device went away. */
  readonly isOpen: boolean;
  /** Rejects pending reads and writes with canceled: true. A second close rejects. */
  close(): Promise<void>;
  /** At least one byte into buffer at offset; canceled on close, disconnected when the device goes away. */
  read(buffer: Buffer, offset: number, length: number): Promise<{ buffer: Buffer; bytesRead: number }>;
  /** Resolves once the system has every byte. */
  write(buffer: Buffer): Promise<void>;
  /** A rate the driver refuses rejects with its error. */
  update(options: { baudRate: number }): Promise<void>;
  /** Sets RTS, DTR and break to the values given or off; cts and dsr change nothing. A line the driver lacks rejects with its error after the others are set. */
  set(options: { brk?: boolean; cts?: boolean; dsr?: boolean; dtr?: boolean; rts?: boolean }): Promise<void>;
  get(): Promise<{ cts: boolean; dsr: boolean; dcd: boolean }>;
  /** The rate the driver took (it may round a non-standard one). */
  getBaudRate(): Promise<{ baudRate: number }>;
  /** Discards what waits to be read and to be sent. */
  flush(): Promise<void>;
  /** Resolves once the write under way has ended and the driver has sent every byte. */
  drain(): Promise<void>;
}

/** Ports as they arrive and leave. */
export interface QuorvelPortWatch extends EventEmitter {
  /** Stops watching; 'close' follows. */
  close(): void;
  /** The watch has read the port list: ports that arrive from now on are told. */
  on(event: 'ready', listener: () => void): this;
  on(event: 'add', listener: (port: QuorvelPortInfo) => void): this;
  on(event: 'remove', listener: (port: QuorvelPortInfo) => void): this;
  on(event: 'error', listener: (err: QuorvelError) => void): this;
  on(event: 'close', listener: () => void): this;
  on(event: string | symbol, listener: (...args: any[]) => void): this;
}

export interface QuorvelBindingInterface {
  list(): Promise<QuorvelPortInfo[]>;
  open(options: QuorvelOpenOptions): Promise<QuorvelPortBinding>;
  /** present: the ports present at the start as 'add' first (false); rescanMs: 0 or 100 to 86400000 (2000). */
  watch(options?: { present?: boolean; rescanMs?: number }): QuorvelPortWatch;
}

export const QuorvelBinding: QuorvelBindingInterface;
export default QuorvelBinding;
