// Runs the real gateway without a screen, with a throw-away settings store, and
// reads its log from stderr.
import { spawn } from 'node:child_process';
import { existsSync, mkdirSync, writeFileSync } from 'node:fs';
import { createServer, connect } from 'node:net';
import { join } from 'node:path';
import { REPO_ROOT, sleep, scratchDir } from './harness.mjs';

function firstExisting(paths) {
  return paths.find((p) => p && existsSync(p)) || paths.find(Boolean);
}

export function gatewayPaths() {
  const builds = ['build-test', 'build'].map((b) => join(REPO_ROOT, b));
  return {
    app: firstExisting([process.env.FIELDPOST_APP, ...builds.map((b) => join(b, 'app', 'fieldpost'))]),
    send: firstExisting([process.env.FIELDPOST_SEND, ...builds.map((b) => join(b, 'tools', 'fieldpost-send'))]),
  };
}

export function freePort() {
  return new Promise((resolve, reject) => {
    const server = createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

export async function portAnswers(port, host = '127.0.0.1') {
  return new Promise((resolve) => {
    const socket = connect({ port, host });
    socket.once('connect', () => { socket.destroy(); resolve(true); });
    socket.once('error', () => resolve(false));
  });
}

export class Gateway {
  // settings: extra [General] keys for the throw-away store, such as simulateEnter.
  constructor(settings = {}) {
    this.settings = settings;
    this.lines = [];
    this.waiters = [];
    this.process = null;
  }

  // A gateway that lost the race for port 9000 to another program is started again.
  async start({ attempts = 5 } = {}) {
    for (let i = 1; ; i++) {
      try {
        return await this.startOnce();
      } catch (e) {
        await this.stop();
        if (!/could not listen/.test(e.message) || i >= attempts) throw e;
        this.lines = [];
      }
    }
  }

  async startOnce() {
    const { app, send } = gatewayPaths();
    if (!existsSync(app)) {
      throw new Error(`the gateway (${app}) is not built; build the fieldpost target, or set FIELDPOST_APP`);
    }
    this.sendTool = send;
    // Another program may hold port 9000 for a moment on a shared machine.
    const free = Date.now() + 60000;
    while (await portAnswers(9000)) {
      if (Date.now() > free) throw new Error('port 9000 is taken by another program');
      await sleep(250);
    }
    this.tcpPort = await freePort();
    const dir = scratchDir('gateway');
    const config = join(dir, 'config');
    mkdirSync(join(config, 'Thornvaleworks'), { recursive: true });
    writeFileSync(join(config, 'Thornvaleworks', 'Fieldpost.conf'), [
      '[General]', `tcpPort=${this.tcpPort}`, ...Object.entries(this.settings).map(([k, v]) => `${k}=${v}`), '',
    ].join('\n'));
    mkdirSync(join(dir, 'tmp'), { recursive: true });
    this.process = spawn(app, [], {
      env: { ...process.env, QT_QPA_PLATFORM: 'offscreen', XDG_CONFIG_HOME: config, TMPDIR: join(dir, 'tmp') },
      stdio: ['ignore', 'pipe', 'pipe'],
    });
    let pending = '';
    const take = (chunk) => {
      pending += chunk.toString('utf8');
      const parts = pending.split('\n');
      pending = parts.pop();
      for (const line of parts) this.lines.push({ text: line.replace(/\r$/, ''), at: performance.timeOrigin + performance.now() });
      const waiting = this.waiters;
      this.waiters = [];
      for (const w of waiting) w();
    };
    this.process.stderr.on('data', take);
    this.process.stdout.on('data', take);
    const end = Date.now() + 15000;
    while (!this.logged('WebSocket: listening on ws://127.0.0.1:9000').length || !(await portAnswers(this.tcpPort))) {
      if (this.process.exitCode !== null) throw new Error(`the gateway exited with ${this.process.exitCode}`);
      const failed = this.logged(/^WebSocket: failed to listen/);
      if (failed.length) throw new Error(`the gateway could not listen: ${failed[0].text}`);
      if (Date.now() > end) {
        throw new Error('the gateway did not log that it listens on port 9000 (its log lines are read from stderr)');
      }
      await sleep(50);
    }
    return this;
  }

  // Lines of the log, as the window shows them: "[HH:mm:ss] text".
  logged(pattern) {
    return this.lines.filter((l) => {
      const m = /^\[\d\d:\d\d:\d\d\] (.*)$/.exec(l.text);
      return m && (typeof pattern === 'string' ? m[1] === pattern : pattern.test(m[1]));
    });
  }

  async waitLogged(pattern, { count = 1, timeout = 10000 } = {}) {
    const end = Date.now() + timeout;
    for (;;) {
      const found = this.logged(pattern);
      if (found.length >= count) return found;
      const left = end - Date.now();
      if (left <= 0) {
        throw new Error(`the gateway did not log ${pattern} ${count} time(s) within ${timeout} ms; ` +
          `last lines:\n${this.lines.slice(-15).map((l) => l.text).join('\n')}`);
      }
      await new Promise((r) => {
        const t = setTimeout(r, Math.min(left, 200));
        this.waiters.push(() => { clearTimeout(t); r(); });
      });
    }
  }

  // Sends lines through the companion product's sender tool.
  sendLines(lines) {
    if (!existsSync(this.sendTool)) {
      throw new Error(`the sender (${this.sendTool}) is not built; build fieldpost-send, or set FIELDPOST_SEND`);
    }
    return new Promise((resolve, reject) => {
      const child = spawn(this.sendTool, ['--port', String(this.tcpPort)], { stdio: ['pipe', 'ignore', 'pipe'] });
      let err = '';
      child.stderr.on('data', (d) => { err += d; });
      child.once('error', reject);
      child.once('exit', (code) => (code === 0 ? resolve() : reject(new Error(`fieldpost-send exited ${code}: ${err}`))));
      child.stdin.end(lines.map((l) => `${l}\n`).join(''));
    });
  }

  async stop() {
    if (!this.process || this.process.exitCode !== null) return;
    this.process.kill('SIGTERM');
    await new Promise((r) => { this.process.once('exit', r); setTimeout(r, 5000); });
    if (this.process.exitCode === null) this.process.kill('SIGKILL');
  }
}
