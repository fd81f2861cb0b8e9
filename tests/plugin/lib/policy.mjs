// Chromium's machine-wide policy folder, which every Chromium on the machine reads: a suite that writes it takes
// a copy first and puts the folder back exactly as it was, whatever happens. Root only.
import { chmodSync, existsSync, mkdirSync, readFileSync, readdirSync, renameSync, rmSync, statSync, utimesSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';

const POLICY_DIRS = ['/etc/chromium', '/etc/chromium/policies', '/etc/chromium/policies/managed'];
export const MANAGED = POLICY_DIRS.at(-1);
// Outside the folder, so that a run killed half way is undone by the next one.
const BACKUP = '/var/tmp/fieldpost-install-test-policies.json';

function takeBackup() {
  const files = existsSync(MANAGED) ? readdirSync(MANAGED).map((name) => {
    const path = join(MANAGED, name);
    const { mode, mtime } = statSync(path);
    return { name, mode, mtime: mtime.getTime(), data: readFileSync(path).toString('base64') };
  }) : [];
  writeFileSync(`${BACKUP}.new`, JSON.stringify({ dirs: POLICY_DIRS.filter((d) => existsSync(d)), files }));
  renameSync(`${BACKUP}.new`, BACKUP);
}

// Synchronous, so that it also runs from an exit handler.
function restore() {
  if (!existsSync(BACKUP)) return;
  const { dirs, files } = JSON.parse(readFileSync(BACKUP, 'utf8'));
  if (existsSync(MANAGED)) {
    for (const name of readdirSync(MANAGED)) {
      if (!files.some((f) => f.name === name)) rmSync(join(MANAGED, name), { recursive: true, force: true });
    }
  }
  for (const { name, mode, mtime, data } of files) {
    mkdirSync(MANAGED, { recursive: true });
    const path = join(MANAGED, name);
    writeFileSync(path, Buffer.from(data, 'base64'));
    chmodSync(path, mode & 0o7777);
    utimesSync(path, new Date(mtime), new Date(mtime));
  }
  for (const d of [...POLICY_DIRS].reverse()) if (!dirs.includes(d)) rmSync(d, { recursive: true, force: true });
  rmSync(BACKUP);
}

const onExit = () => restore();
const onSignal = () => process.exit(130);

// Before a suite writes the folder: a killed run's copy is put back first. Returns what puts it back after.
export function guardPolicyFolder() {
  restore();
  takeBackup();
  process.on('exit', onExit).on('SIGINT', onSignal).on('SIGTERM', onSignal);
  return () => {
    restore();
    process.off('exit', onExit).off('SIGINT', onSignal).off('SIGTERM', onSignal);
  };
}
