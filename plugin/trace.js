// Where a line's time goes in the worker, for bench/e2e_plugin.mjs: nothing is
// kept unless the benchmark has set globalThis.fieldpostTrace to an array.
const MAX_MARKS = 100000;

export function mark(step) {
  const trace = globalThis.fieldpostTrace;
  if (Array.isArray(trace) && trace.length < MAX_MARKS) trace.push([step, performance.timeOrigin + performance.now()]);
}
