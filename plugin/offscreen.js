// The offscreen document that plays the gateway's sounds: tones made with
// WebAudio, so there are no sound files to ship. It tells the worker each
// tone it starts.
const { LOCAL, SOUNDS } = globalThis.fieldpostCommon;
const RESUME_LIMIT_MS = 1000;

// [wave, frequency in Hz, start and length in seconds]. A failure must be
// told apart from a success without looking: two falling square tones against
// one short tick.
const TONES = {
  failure: [['square', 880, 0, 0.14], ['square', 440, 0.16, 0.14]],
  success: [['triangle', 1760, 0, 0.04]],
};

let context = null;

async function running() {
  context ??= new AudioContext();
  if (context.state !== 'running') {
    await Promise.race([context.resume(), new Promise((r) => setTimeout(r, RESUME_LIMIT_MS))]);
  }
  return context.state === 'running';
}

async function play(sound) {
  // A context that may not start (no audio output, autoplay refused) plays nothing and says so by silence.
  if (!(await running())) return;
  const now = context.currentTime;
  for (const [wave, frequency, start, length] of TONES[sound]) {
    const oscillator = new OscillatorNode(context, { type: wave, frequency });
    const gain = new GainNode(context, { gain: 0 });
    // A short ramp in and out: a tone cut off hard clicks.
    gain.gain.setValueAtTime(0, now + start);
    gain.gain.linearRampToValueAtTime(0.2, now + start + 0.005);
    gain.gain.setValueAtTime(0.2, now + start + length - 0.01);
    gain.gain.linearRampToValueAtTime(0, now + start + length);
    oscillator.connect(gain).connect(context.destination);
    oscillator.start(now + start);
    oscillator.stop(now + start + length);
  }
  chrome.runtime.sendMessage({ type: LOCAL.TONE_STARTED, sound }).catch(() => {});
}

chrome.runtime.onMessage.addListener((message, sender) => {
  if (sender.id === chrome.runtime.id && message && message.type === LOCAL.PLAY && SOUNDS.includes(message.sound)) {
    play(message.sound);
  }
});
