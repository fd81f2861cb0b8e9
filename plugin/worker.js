// The extension's service worker: links to this user's gateway and carries its
// requests into the pages, one module per job. Every module registers its
// listeners at its top level, so that a worker woken by an event finds them.
// The messages and the descriptor members are listed in docs/plugin-protocol.md.
import './common.js';
import { restricted } from './allowed.js';
import { showDestination } from './destination.js';
import { feedback, tones } from './feedback.js';
import { queueFill } from './filling.js';
import { instanceReady } from './instance.js';
import { connect, onGatewayMessage } from './link.js';
import './pages.js';
import { endPick, kindOf, startPick } from './picking.js';
import { scan } from './scan.js';

const { MSG } = globalThis.fieldpostCommon;

function handleGatewayMessage(message) {
  if (!message || typeof message !== 'object' || Array.isArray(message)) return;
  switch (message.type) {
    case MSG.PICK_MODE:
      if (message.enabled === true) startPick(kindOf(message.kind), { add: message.add === true });
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
    case MSG.DESTINATION:
      showDestination(message);
      break;
    default:
      break; // "hello" and anything newer need no answer
  }
}

onGatewayMessage(handleGatewayMessage);
connect();

// Reachable from the extension's own DevTools console, for trying requests by
// hand, seeing which tones the sound document started, and whether the
// administrator's list of pages is in force.
globalThis.fieldpost = { handleGatewayMessage, tones, restricted };
