// The extension's service worker: links to this user's gateway and carries its
// requests into the pages, one module per job. Every module registers its
// listeners at its top level, so that a worker woken by an event finds them.
// The messages and the descriptor members are listed in docs/plugin-protocol.md.
import './common.js';
import { feedback, tones } from './feedback.js';
import { queueFill } from './filling.js';
import { instanceReady } from './instance.js';
import { connect, onGatewayMessage } from './link.js';
import { endPick, kindOf, startPick } from './picking.js';
import { scan } from './scan.js';

const { MSG } = globalThis.fieldpostCommon;

function handleGatewayMessage(message) {
  if (!message || typeof message !== 'object' || Array.isArray(message)) return;
  switch (message.type) {
    case MSG.PICK_MODE:
      if (message.enabled === true) startPick(kindOf(message.kind));
      else endPick();
      break;
    case MSG.FILL:
      queueFill(message);
      break;
    case MSG.FEEDBACK:
      instanceReady.then(() => feedback(message), () => {});
      break;
    case MSG.SCAN:
      scan();
      break;
    default:
      break; // "hello" and anything newer need no answer
  }
}

onGatewayMessage(handleGatewayMessage);
connect();

// Reachable from the extension's own DevTools console, for trying requests by
// hand and seeing which tones the sound document started.
globalThis.fieldpost = { handleGatewayMessage, tones };
