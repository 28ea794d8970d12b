'use strict';
// quorvel as a binding for node-serialport:
//   const { SerialPortStream } = require('@serialport/stream');
//   const { QuorvelBinding } = require('quorvel/serialport');
//   const port = new SerialPortStream({ binding: QuorvelBinding, path: 'COM3', baudRate: 115200 });
const { QuorvelBinding, QuorvelPortBinding } = require('./lib/binding');

module.exports = { QuorvelBinding, QuorvelPortBinding, default: QuorvelBinding };
