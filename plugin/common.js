// What the worker, the content script and the popup agree on, in one place. The
// messages and descriptor members are listed in docs/plugin-protocol.md. A
// classic script, since the content scripts load it too.
globalThis.fieldpostCommon = Object.freeze({
  // The native messaging host that tells this user's gateway port and the link's key.
  NATIVE_HOST: 'com.thornvaleworks.fieldpost',
  CLICK_DELAY_MS: 300,
  // The most fields one fill may carry.
  MAX_FIELDS: 16,
  PICK_KIND: Object.freeze({ FIELD: 'field', BUTTON: 'button' }),
  // With the gateway, both ways.
  MSG: Object.freeze({
    HELLO: 'hello', PROOF: 'proof', KEEPALIVE: 'keepalive', FIELDS: 'fields', PICKED: 'picked',
    FILL_RESULT: 'fillResult', BUTTON_CLICKED: 'buttonClicked', SCAN: 'scan', PICK_MODE: 'pickMode', FILL: 'fill',
    FEEDBACK: 'feedback', DESTINATION: 'destination', ACTIVE_PAGE: 'activePage', SEQUENCE_RESET: 'sequenceReset',
  }),
  // Inside the extension: content script, popup and the sound document to the worker, and the worker to the
  // sound document.
  LOCAL: Object.freeze({
    PICKED: 'picked', PICK_CANCELLED: 'pickCancelled', START_PICKING: 'startPicking', STOP_PICKING: 'stopPicking',
    PLAY: 'play', TONE_STARTED: 'toneStarted', MAY_PICK: 'mayPick', RESET_SEQUENCE: 'resetSequence',
  }),
  SOUNDS: Object.freeze(['failure', 'success']),
  // chrome.storage.session key that every frame watches to enter and leave pick mode.
  PICK_KEY: 'pick',
  // Port names: the popup's to the worker, the worker's to each frame.
  STATUS_PORT: 'status',
  CALL_PORT: 'calls',
});
