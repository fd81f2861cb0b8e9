// The real gateway as a child process, for the benchmarks and the end-to-end
// test: as a service (no window), with a throw-away settings store, data home
// and single-instance channel, its log read from stderr with the time each
// line arrived. Its ports and pairing key come from its pairing record, as
// the plugin learns them.
import { spawn } from 'node:child_process';
import { existsSync, mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { scratchDir, sleep } from '../tests/plugin/lib/harness.mjs';

export const REPO_ROOT = resolve(dirname(fileURLToPath(import.meta.url)), '..');

// Asks until the answer is truthy, every `every` ms (a benchmark waits finer than the tests).
export async function waitUntil(check, { timeout = 10000, every = 10, what = 'condition' } = {}) {
  const end = Date.now() + timeout;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out after ${timeout} ms waiting for ${what}`);
    await sleep(every);
  }
}

function built(env, name) {
  return process.env[env] || ['build-test', 'build'].map((b) => join(REPO_ROOT, b, name)).find(existsSync);
}

// The settings file's text: plain keys under [General], "Group/key" under [Group].
export function settingsText(settings) {
  const groups = new Map([['General', []]]);
  for (const [key, value] of Object.entries(settings)) {
    const [group, name] = key.includes('/') ? key.split('/', 2) : ['General', key];
    if (!groups.has(group)) groups.set(group, []);
    groups.get(group).push(`${name}=${value}`);
  }
  return [...groups].map(([group, lines]) => [`[${group}]`, ...lines, ''].join('\n')).join('\n');
}

export class Gateway {
  // settings: extra keys for the throw-away store, such as simulateEnter or "Chromium/extensionId".
  constructor(settings = {}) {
    this.settings = settings;
  }

  // Both servers on ports of their own: the plugin link on the first free one from 9000, the intake where the
  // system puts it (a stored port of 0).
  async start() {
    this.app = built('FIELDPOST_APP', 'app/fieldpost');
    this.sendTool = built('FIELDPOST_SEND', 'tools/fieldpost-send');
    if (!this.app || !this.sendTool) throw new Error('build the fieldpost and fieldpost-send targets first');
    // The browsers' native host, beside the gateway as the build puts it.
    process.env.FIELDPOST_LINK ??= resolve(dirname(this.app), 'fieldpost-link');
    this.spawn();
    await this.waitLogged('Ready. Connect the browser plugin.', { timeout: 20000 });
    const record = JSON.parse(readFileSync(join(this.dataHome, 'Thornvaleworks', 'Fieldpost', 'pairing.json'), 'utf8'));
    Object.assign(this, { pluginPort: record.port, tcpPort: record.intakePort, key: record.key });
    return this;
  }

  spawn() {
    this.lines = [];
    const dir = scratchDir('gateway');
    this.dataHome = join(dir, 'data');
    this.configHome = join(dir, 'config');
    mkdirSync(join(dir, 'config', 'Thornvaleworks'), { recursive: true });
    mkdirSync(join(dir, 'tmp'));
    mkdirSync(join(dir, 'run'), { mode: 0o700 });
    writeFileSync(join(dir, 'config', 'Thornvaleworks', 'Fieldpost.conf'), settingsText({ tcpPort: 0, ...this.settings }));
    this.process = spawn(this.app, ['--service'], {
      env: {
        ...process.env, QT_QPA_PLATFORM: 'offscreen', XDG_CONFIG_HOME: join(dir, 'config'), XDG_DATA_HOME: this.dataHome,
        TMPDIR: join(dir, 'tmp'), XDG_RUNTIME_DIR: join(dir, 'run'),
      },
      stdio: ['ignore', 'pipe', 'pipe'],
    });
    let pending = '';
    const take = (chunk) => {
      const parts = (pending + chunk.toString('utf8')).split('\n');
      pending = parts.pop();
      const at = performance.timeOrigin + performance.now();
      for (const line of parts) this.lines.push({ text: line.replace(/\r$/, ''), at });
    };
    this.process.stderr.on('data', take);
    this.process.stdout.on('data', take);
  }

  // Lines of the log without their "[HH:mm:ss] " time.
  logged(pattern) {
    return this.lines.filter((l) => {
      const m = /^\[\d\d:\d\d:\d\d\] (.*)$/.exec(l.text);
      return m && (typeof pattern === 'string' ? m[1] === pattern : pattern.test(m[1]));
    });
  }

  waitLogged(pattern, { count = 1, timeout = 10000 } = {}) {
    return waitUntil(() => this.logged(pattern).length >= count, { timeout, what: `${count} log line(s) ${pattern}` })
      .catch((e) => { throw new Error(`${e.message}; last lines:\n${this.lines.slice(-15).map((l) => l.text).join('\n')}`); });
  }

  // Sends lines through the companion product's sender tool.
  sendLines(lines) {
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
    await waitUntil(() => this.process.exitCode !== null || this.process.signalCode !== null, { timeout: 5000 })
      .catch(() => this.process.kill('SIGKILL'));
  }
}
