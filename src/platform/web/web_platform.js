// The page's side of the web platform (a --pre-js of the game): the input listeners, the
// IndexedDB storage, the fetch exchanges of the HTTP seam, downloads and the page's signals.
// It calls into the game through the functions web_platform.cpp exports; texts cross as UTF-8
// in the game's exchange buffer (orlith_web_buffer) or as UTF-16 from the game.
Module.orlithWeb = {
  storage: '/orlith',
  signals: {},
  times: {},  // when each signal was first given, in ms since the page's navigation began
  exchanges: {},

  utf16: function (ptr) {
    var s = '';
    for (var i = ptr >> 1; HEAPU16[i] !== 0; ++i) s += String.fromCharCode(HEAPU16[i]);
    return s;
  },
  utf8: function (ptr, length) {
    return new TextDecoder().decode(HEAPU8.subarray(ptr, ptr + length));
  },
  // A text into the game's exchange buffer: its byte length, cut to what fits.
  put: function (text, at) {
    var bytes = new TextEncoder().encode(text).subarray(0, 127);
    var buffer = Module._orlith_web_buffer() + at;
    HEAPU8.set(bytes, buffer);
    HEAPU8[buffer + bytes.length] = 0;
    return bytes.length;
  },

  signal: function (name, value) {
    if (!(name in this.times)) this.times[name] = performance.now();
    this.signals[name] = value;
    window.dispatchEvent(new CustomEvent('orlith', {detail: {name: name, value: value}}));
  },

  // --- the canvas and the view ---
  canvas: function () { return document.getElementById('canvas'); },
  fit: function () {
    var c = this.canvas();
    if (!c.width || !c.height) return;
    var w = Math.min(window.innerWidth, window.innerHeight * c.width / c.height);
    c.style.width = Math.floor(w) + 'px';
    c.style.height = Math.floor(w * c.height / c.width) + 'px';
  },
  show: function (width, height) {
    var c = this.canvas();
    c.width = width;
    c.height = height;
    this.fit();
    c.style.visibility = 'visible';
  },
  toggleFullScreen: function () {
    if (document.fullscreenElement) {
      document.exitFullscreen();
    } else {
      document.documentElement.requestFullscreen().catch(function () {});
    }
  },

  // --- input: keys and focus on the window, pointer and wheel on the canvas ---
  install: function () {
    var web = this, c = this.canvas();
    var inDialog = function (e) { return e.target && e.target.closest && e.target.closest('.orlith-dialog'); };
    var key = function (down) {
      return function (e) {
        if (inDialog(e)) return;
        if (down && e.key === 'Enter' && e.altKey) {
          if (!e.repeat) web.toggleFullScreen();
          e.preventDefault();
          return;
        }
        var k = web.put(e.key, 0), code = web.put(e.code, 128);
        var used = Module._orlith_web_key(down ? 1 : 0, k, code);
        if (used && !e.ctrlKey && !e.metaKey) e.preventDefault();
      };
    };
    window.addEventListener('keydown', key(true));
    window.addEventListener('keyup', key(false));
    window.addEventListener('focus', function () { Module._orlith_web_focus(1); });
    window.addEventListener('blur', function () { Module._orlith_web_focus(0); });
    document.addEventListener('visibilitychange', function () {
      Module._orlith_web_focus(document.visibilityState === 'visible' && document.hasFocus() ? 1 : 0);
    });
    Module._orlith_web_focus(document.hasFocus() ? 1 : 0);
    // Picture pixels of a pointer event.
    var at = function (e) {
      var r = c.getBoundingClientRect();
      return [Math.floor((e.clientX - r.left) * c.width / r.width), Math.floor((e.clientY - r.top) * c.height / r.height)];
    };
    var dragging = null;
    c.addEventListener('pointerdown', function (e) {
      if (e.button !== 0) return;
      c.setPointerCapture(e.pointerId);  // the drag goes on outside the canvas
      dragging = e.pointerId;
      var p = at(e);
      Module._orlith_web_pointer(0, p[0], p[1]);
      e.preventDefault();
    });
    var end = function (e) {
      if (dragging !== e.pointerId) return;
      dragging = null;
      Module._orlith_web_pointer(1, 0, 0);
    };
    c.addEventListener('pointerup', end);
    c.addEventListener('pointercancel', end);
    c.addEventListener('lostpointercapture', end);
    c.addEventListener('pointermove', function (e) {
      var p = at(e);
      Module._orlith_web_pointer(2, p[0], p[1]);
    });
    c.addEventListener('wheel', function (e) {
      Module._orlith_web_wheel(e.deltaY, e.deltaMode, e.wheelDeltaY || 0);
      e.preventDefault();
    }, {passive: false});
    c.addEventListener('contextmenu', function (e) { e.preventDefault(); });
    window.addEventListener('resize', function () { web.fit(); });
    var button = document.getElementById('fullscreen');
    if (button) button.addEventListener('click', function () { web.toggleFullScreen(); c.focus(); });
  },

  // The first standard gamepad: connected, left x and y, right x and y (y down positive), then
  // A, B, X, Y, Back, Start, the shoulders, the d-pad's up, down, left, right (the standard
  // mapping's buttons 0-3, 8, 9, 4, 5, 12-15).
  readPad: function (values) {
    var pads = navigator.getGamepads ? navigator.getGamepads() : [], at = values >> 2;
    HEAPF32[at] = 0;
    for (var i = 0; i < pads.length; ++i) {
      var p = pads[i];
      if (!p || !p.connected || p.mapping !== 'standard') continue;
      HEAPF32[at] = 1;
      for (var a = 0; a < 4; ++a) HEAPF32[at + 1 + a] = p.axes[a] || 0;
      [0, 1, 2, 3, 8, 9, 4, 5, 12, 13, 14, 15].forEach(function (b, k) {
        HEAPF32[at + 5 + k] = p.buttons[b] && p.buttons[b].pressed ? 1 : 0;
      });
      return;
    }
  },

  // --- storage: IDBFS under /orlith ---
  openStorage: function () {
    var web = this;
    return new Promise(function (resolve) {
      try {
        FS.mkdir(web.storage);
        FS.mount(IDBFS, {}, web.storage);
        FS.syncfs(true, function (error) { resolve(error ? 0 : 1); });
      } catch (e) {
        resolve(0);
      }
    });
  },
  flush: function () {
    FS.syncfs(false, function (error) {
      if (error) console.warn('Orlith: the saved files could not be stored in the browser:', error);
      Module._orlith_web_flushed(error ? 0 : 1);
    });
  },
  // Scripts (tests, benchmarks) put a file into the storage as the game would write it: a
  // text, or its bytes as an array of numbers.
  writeFile: function (name, data) {
    FS.writeFile(this.storage + '/' + name, typeof data === 'string' ? data : new Uint8Array(data));
    Module._orlith_web_written();
  },
  readFile: function (path) {
    try {
      return FS.readFile(path, {encoding: 'binary'});
    } catch (e) {
      return null;
    }
  },
  download: function (pathPtr, namePtr) {
    var bytes = FS.readFile(UTF8ToString(pathPtr));
    var a = document.createElement('a');
    a.href = URL.createObjectURL(new Blob([bytes], {type: 'image/png'}));
    a.download = UTF8ToString(namePtr);
    document.body.appendChild(a);
    a.click();
    a.remove();
  },

  // --- the HTTP seam's exchanges over fetch; codes as WinINet gives them ---
  fetch: function (id, url, timeoutMs, limit) {
    var x = {done: false, status: 0, error: 0, bodyError: 0, body: new Uint8Array(0), controller: new AbortController()};
    this.exchanges[id] = x;
    var timer = setTimeout(function () { x.timedOut = true; x.controller.abort(); }, timeoutMs);
    x.promise = (async function () {
      try {
        var r = await fetch(url, {cache: 'no-store', headers: {'Cache-Control': 'no-cache', 'Pragma': 'no-cache'},
                                  signal: x.controller.signal});
        x.status = r.status;
        if (r.body) {
          var reader = r.body.getReader(), parts = [], length = 0;
          while (length < limit) {
            var part = await reader.read();
            if (part.done) break;
            parts.push(part.value);
            length += part.value.length;
          }
          // A body of the limit or more: keep the limit, so the game sees a full buffer.
          if (length >= limit) reader.cancel();
          x.body = new Uint8Array(Math.min(length, limit));
          var at = 0;
          for (var i = 0; i < parts.length && at < x.body.length; ++i) {
            var piece = parts[i].subarray(0, x.body.length - at);
            x.body.set(piece, at);
            at += piece.length;
          }
        }
      } catch (e) {
        var code = x.timedOut ? 12002 : x.aborted ? 12017 : x.status > 0 ? 12030 : 12029;
        if (x.status > 0) x.bodyError = code; else x.error = code;
      }
      clearTimeout(timer);
      x.done = true;
    })();
  },
  abortFetch: function (id) {
    var x = this.exchanges[id];
    if (x && !x.done) {
      x.aborted = true;
      x.controller.abort();
    }
  },
  // Up to room bytes of the body from offset into the game's memory; how many.
  takeBody: function (id, into, room, offset) {
    var x = this.exchanges[id];
    var part = x.body.subarray(offset, Math.min(x.body.length, offset + room));
    HEAPU8.set(part, into);
    return part.length;
  }
};
// Scripts reach the game's signals and files through window.orlith, and end it as closing the
// window does.
window.orlith = {
  signals: Module.orlithWeb.signals,
  times: Module.orlithWeb.times,
  close: function () { Module._orlith_web_close(); },
  writeFile: function (name, text) { Module.orlithWeb.writeFile(name, text); },
  readFile: function (path) { return Module.orlithWeb.readFile(path); }
};
