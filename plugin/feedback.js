// The gateway's feedback on a line: a sound, and a bar in the picked page.
// Only the browser that picked the target gives it; no answer either way.
import './common.js';
import { pickedHere } from './instance.js';
import { asObject, callInPage, findTab } from './places.js';

const { LOCAL, SOUNDS } = globalThis.fieldpostCommon;
const SOUND_PAGE = 'offscreen.html';
const TONES_KEPT = 20;

// The kinds of the tones the sound document started, newest last.
export const tones = [];

export function feedback(message) {
  const target = asObject(message.target);
  if (!pickedHere(target)) return;
  if (SOUNDS.includes(message.sound)) play(message.sound).catch(() => {});
  if (typeof message.bar === 'string' && message.bar) showBar(target, message.bar).catch(() => {});
}

async function showBar(target, text) {
  const tabId = await findTab(target);
  if (tabId !== null) await callInPage({ tabId, frameId: 0 }, 'notice', [{ origin: target.origin, path: target.path }, text]);
}

// A worker cannot play sound: an offscreen document does, also while the tab is
// in the background. Made on the first sound, kept while Chromium keeps it.
let soundPage = null;

function soundPageReady() {
  soundPage ??= chrome.runtime.getContexts({ contextTypes: ['OFFSCREEN_DOCUMENT'] })
    .then((open) => open.length || chrome.offscreen.createDocument({
      url: SOUND_PAGE, reasons: ['AUDIO_PLAYBACK'], justification: 'Plays the sound of a line that failed or was filled.',
    }))
    .finally(() => { soundPage = null; });
  return soundPage;
}

async function play(sound) {
  await soundPageReady();
  await chrome.runtime.sendMessage({ type: LOCAL.PLAY, sound });
}

chrome.runtime.onMessage.addListener((message, sender) => {
  if (!message || sender.id !== chrome.runtime.id || message.type !== LOCAL.TONE_STARTED) return;
  if (sender.url !== chrome.runtime.getURL(SOUND_PAGE)) return;
  tones.push(message.sound);
  tones.splice(0, tones.length - TONES_KEPT);
});
