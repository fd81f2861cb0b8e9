// A fill of several fields of one page, all or nothing: every field is found,
// and checked to take a value, before any is typed; then they are typed in
// order, Enter in the last one. Consecutive fields of one frame go in one call.
import './common.js';
import { NOT_ALLOWED } from './allowed.js';
import { asObject, callInPage, forgetPlaces, placeOf } from './places.js';

const { MAX_FIELDS } = globalThis.fieldpostCommon;
export const NO_VALID_TARGETS = 'fill has no valid targets';

// { targets, values } of a fill of several fields, or null when they make none.
export function severalOf({ targets, values }) {
  if (!Array.isArray(targets) || !Array.isArray(values) || targets.length !== values.length ||
    !targets.length || targets.length > MAX_FIELDS) return null;
  return { targets: targets.map(asObject), values: values.map((v) => (typeof v === 'string' ? v : '')) };
}

// The failure of field i; the administrator's refusal is of the page, not of a field.
const failedAt = (place, i) =>
  (place.error === NOT_ALLOWED ? { ok: false, error: place.error } : { ok: false, error: place.error, failedField: i });

// Each target's place, all in the tab the first one's page is found in; null
// when the fill is another browser's to serve.
async function placesOf(targets) {
  const first = await placeOf(targets[0], 'field');
  if (!first || first.error) return first && failedAt(first, 0);
  const places = [first];
  for (let i = 1; i < targets.length; i++) {
    const t = targets[i];
    const place = await placeOf({ ...t, tabId: first.tabId }, 'field');
    if (!place) return { ok: false, error: 'field was picked in another browser', failedField: i };
    if (place.error) return failedAt(place, i);
    if (place.tabId !== first.tabId) return failedAt({ error: `page of the field is not open (${t.origin}${t.path})` }, i);
    places.push(place);
  }
  return places;
}

async function call(place, routine, args) {
  try {
    return asObject(await callInPage(place, routine, args));
  } catch (e) {
    return { ok: false, error: 'field not found', stale: true };
  }
}

// An answer about some of the fields (indices), told about all of them.
function told(outcome, { place, indices }) {
  const about = { ...outcome, tabId: place.tabId };
  if (Number.isInteger(outcome.failedField)) about.failedField = indices[outcome.failedField];
  return about;
}

const fillRun = async (job, run, pressEnter) => told(await call(run.place, 'fillAll', [
  run.indices.map((i) => job.targets[i]), run.indices.map((i) => job.values[i]), pressEnter, job.flash,
]), run);

// Fields in several frames: each frame checks its own, and only once all have
// passed is any typed. A page that changes in between fails the field it took
// away, after those before it were typed.
async function inFrames(job, runs) {
  const frames = new Map();
  for (const { place, indices } of runs) {
    if (frames.has(place.frameId)) frames.get(place.frameId).indices.push(...indices);
    else frames.set(place.frameId, { place, indices: [...indices] });
  }
  const checks = await Promise.all([...frames.values()].map(async (frame) =>
    told(await call(frame.place, 'check', [frame.indices.map((i) => job.targets[i])]), frame)));
  const failures = checks.filter((c) => c.ok !== true);
  if (failures.length) return failures.sort((a, b) => (a.failedField ?? -1) - (b.failedField ?? -1))[0];
  let outcome;
  for (const [n, run] of runs.entries()) {
    outcome = await fillRun(job, run, job.pressEnter && n === runs.length - 1);
    if (outcome.ok !== true) return { ...outcome, stale: false };
  }
  return outcome;
}

// Resolves, once the request is on its way (with fields in several frames:
// once it is done), to { outcome }; outcome settles to the answer, or to null
// when this browser stays silent.
export async function startSeveral(job, retried = false) {
  const places = await placesOf(job.targets);
  if (!Array.isArray(places)) return { outcome: Promise.resolve(places) };
  const runs = [];
  places.forEach((place, i) => {
    const last = runs[runs.length - 1];
    if (last && last.place.frameId === place.frameId) last.indices.push(i);
    else runs.push({ place, indices: [i] });
  });
  const answer = runs.length === 1 ? fillRun(job, runs[0], job.pressEnter) : await inFrames(job, runs);
  // A page found earlier may show another document by now: look again, once.
  const outcome = Promise.resolve(answer).then(async (o) => {
    if (!o.stale || retried) return o;
    forgetPlaces();
    return (await startSeveral(job, true)).outcome;
  });
  return { outcome };
}
