// The page's side of the dialogs (a --pre-js of the game): templates 102 and 103 and the message
// boxes as HTML over the canvas, laid out in dialog units as Windows lays out the templates:
// from the dialog font (9 points, 12 pixels), a horizontal unit is a quarter of its average
// Latin letter, a vertical one an eighth of its height. The dialogs decide nothing: every click
// and edit goes to the game (html_dialogs.cpp), which answers with what the controls show.
Module.orlithDialogs = {
  font: '12px "ＭＳ Ｐゴシック", "MS PGothic", "IPAPGothic", "IPAexGothic", sans-serif',
  unitX: 0,
  unitY: 12 / 8,
  events: [],
  waiting: null,
  open: null,

  post: function (event) {
    if (this.waiting) {
      var resolve = this.waiting;
      this.waiting = null;
      resolve(event);
    } else {
      this.events.push(event);
    }
  },
  next: function () {
    var self = this;
    if (this.events.length) return Promise.resolve(this.events.shift());
    return new Promise(function (resolve) { self.waiting = resolve; });
  },

  // --- what the game calls (html_dialogs.cpp) ---
  // Waits for the next event; writes its box and an edit's text (UTF-16) for the game.
  nextPacked: async function (box, text, capacity) {
    var e = await this.next();
    HEAP32[box >> 2] = e.box || 0;
    this.putUtf16(e.text || '', text, capacity);
    return {tick: 1, edit: 2, start: 3, cancel: 4, ok: 5, yes: 6, no: 7, close: 8}[e.kind];
  },
  putUtf16: function (s, at, capacity) {
    var n = Math.min(s.length, capacity - 1);
    for (var i = 0; i < n; ++i) HEAPU16[(at >> 1) + i] = s.charCodeAt(i);
    HEAPU16[(at >> 1) + n] = 0;
  },
  pageHost: function (host, hostCapacity, port, portCapacity) {
    this.putUtf16(location.hostname, host, hostCapacity);
    this.putUtf16(location.port || (location.protocol === 'https:' ? '443' : '80'), port, portCapacity);
  },
  showRegistration: function (ticked, enabled, texts) {
    var state = {ticked: !!ticked, enabled: !!enabled, texts: texts.map(function (t) { return Module.orlithWeb.utf16(t); })};
    if (this.open && this.open.querySelector('[data-template="102"]')) {
      this.update(state);
    } else {
      this.registration(state);
    }
  },
  // The headings, then the rows, as one ended UTF-16 text after another.
  showInformation: function (cells, columns, rows, widths) {
    var texts = [], at = cells;
    for (var i = 0; i < columns * (rows + 1); ++i) {
      var s = Module.orlithWeb.utf16(at);
      texts.push(s);
      at += (s.length + 1) * 2;
    }
    var widthList = [];
    for (var k = 0; k < columns; ++k) widthList.push(HEAP32[(widths >> 2) + k]);
    var table = [];
    for (var r = 0; r < rows; ++r) table.push(texts.slice(columns * (r + 1), columns * (r + 2)));
    this.information(texts.slice(0, columns), widthList, table);
  },

  // A modal window: the page under it is veiled; a title bar with the close button.
  frame: function (template, title, width, height) {
    var self = this;
    this.close();
    this.events = [];
    var veil = document.createElement('div');
    veil.className = 'orlith-veil';
    var box = document.createElement('div');
    box.className = 'orlith-dialog';
    box.style.font = this.font;
    box.dataset.template = template;
    box.setAttribute('role', 'dialog');
    box.setAttribute('aria-modal', 'true');
    var bar = document.createElement('div');
    bar.className = 'orlith-title';
    var caption = document.createElement('span');
    caption.textContent = title;
    var closer = document.createElement('button');
    closer.className = 'orlith-close';
    closer.id = 'orlith-close';
    closer.textContent = '\u00d7';
    closer.title = 'Close';
    closer.addEventListener('click', function () { self.post({kind: 'close'}); });
    bar.appendChild(caption);
    bar.appendChild(closer);
    var body = document.createElement('div');
    body.className = 'orlith-body';
    this.units();
    body.style.width = width * this.unitX + 'px';
    body.style.height = height * this.unitY + 'px';
    box.appendChild(bar);
    box.appendChild(body);
    veil.appendChild(box);
    document.body.appendChild(veil);
    this.open = veil;
    Module.orlithWeb.signal('dialog', template === 'message' ? 1 : Number(template));
    return body;
  },
  close: function () {
    if (!this.open) return;
    this.open.remove();
    this.open = null;
    Module.orlithWeb.signal('dialog', 0);
    var c = document.getElementById('canvas');
    if (c) c.focus();
  },
  units: function () {
    if (this.unitX) return;
    var context = document.createElement('canvas').getContext('2d');
    context.font = this.font;
    var letters = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz';
    this.unitX = Math.floor((context.measureText(letters).width + 26) / 52) / 4;
  },
  place: function (element, x, y, w, h) {
    this.units();
    element.style.position = 'absolute';
    element.style.left = x * this.unitX + 'px';
    element.style.top = y * this.unitY + 'px';
    element.style.width = w * this.unitX + 'px';
    element.style.height = h * this.unitY + 'px';
    return element;
  },
  button: function (body, id, text, x, y, w, h, isDefault, event) {
    var self = this;
    var b = this.place(document.createElement('button'), x, y, w, h);
    b.id = id;
    b.textContent = text;
    if (isDefault) b.className = 'orlith-default';
    b.addEventListener('click', function () { self.post(event); });
    body.appendChild(b);
    return b;
  },

  // --- template 102 ---
  registration: function (texts) {
    var self = this;
    var body = this.frame('102', 'Orlith ニックネーム登録', 181, 216);
    var check = document.createElement('label');
    this.place(check, 6, 13, 168, 12);
    var tick = document.createElement('input');
    tick.type = 'checkbox';
    tick.id = 'c1001';
    tick.addEventListener('change', function () { self.post({kind: 'tick', box: tick.checked ? 1 : 0}); });
    check.appendChild(tick);
    check.appendChild(document.createTextNode('ネットワークを使用する'));
    body.appendChild(check);
    var notes = [[1002, 36, '※ここで入力する情報はネットワーク上に公開されます！'],
                 [1003, 48, '※特に暗証番号には、どうでもいい数字を入力して下さい！'],
                 [1004, 60, '※ニックネームに全角文字は使えません。'],
                 [1005, 72, '※ニックネームに半角記号は…、使えないものもあります。'],
                 [1006, 84, '※スタートすると、サーバーに情報が残って共有されます。']];
    var controls = [];
    notes.forEach(function (n) {
      var s = self.place(document.createElement('div'), 6, n[1], 174, 12);
      s.id = 'c' + n[0];
      s.className = 'orlith-static';
      s.textContent = n[2];
      body.appendChild(s);
      controls.push(s);
    });
    var boxes = [[1007, 1008, 108, 'ニックネーム'], [1009, 1010, 126, '暗証番号'], [1011, 1012, 144, 'サーバー'],
                 [1013, 1014, 162, 'ポート番号']];
    var edits = {};
    boxes.forEach(function (b, i) {
      var label = self.place(document.createElement('div'), 24, b[2], 42, 12);
      label.id = 'c' + b[0];
      label.className = 'orlith-static';
      label.textContent = b[3];
      var edit = self.place(document.createElement('input'), 72, b[2], 84, 12);
      edit.id = 'c' + b[1];
      edit.type = 'text';
      edit.autocomplete = 'off';
      edit.spellcheck = false;
      if (b[1] === 1010) edit.inputMode = 'numeric';
      edit.addEventListener('input', function () { self.post({kind: 'edit', box: b[1], text: edit.value}); });
      body.appendChild(label);
      body.appendChild(edit);
      controls.push(label, edit);
      edits[b[1]] = edit;
    });
    this.button(body, 'c1', 'スタート!!', 35, 188, 50, 14, true, {kind: 'start'});
    this.button(body, 'c2', 'キャンセル', 96, 188, 50, 14, false, {kind: 'cancel'});
    body.addEventListener('keydown', function (e) {
      if (e.key === 'Enter' && e.target.tagName !== 'BUTTON') { self.post({kind: 'start'}); e.preventDefault(); }
      if (e.key === 'Escape') { self.post({kind: 'cancel'}); e.preventDefault(); }
    });
    this.update = function (state) {
      tick.checked = state.ticked;
      controls.forEach(function (c) { c.classList.toggle('orlith-disabled', !state.enabled); });
      [1008, 1010, 1012, 1014].forEach(function (id, i) {
        edits[id].disabled = !state.enabled;
        if (edits[id].value !== state.texts[i]) edits[id].value = state.texts[i];
      });
    };
    this.update(texts);
    tick.focus();
  },

  // --- template 103 ---
  information: function (headings, widths, rows) {
    var body = this.frame('103', 'Orlith インフォメーション', 307, 176);
    var list = this.place(document.createElement('div'), 6, 8, 294, 142);
    list.className = 'orlith-list';
    var table = document.createElement('table');
    var head = document.createElement('tr');
    headings.forEach(function (h, i) {
      var th = document.createElement('th');
      th.textContent = h;
      th.style.width = th.style.minWidth = widths[i] + 'px';
      head.appendChild(th);
    });
    table.appendChild(head);
    rows.forEach(function (row) {
      var tr = document.createElement('tr');
      row.forEach(function (cell) {
        var td = document.createElement('td');
        td.textContent = cell;
        tr.appendChild(td);
      });
      table.appendChild(tr);
    });
    list.appendChild(table);
    body.appendChild(list);
    var self = this;
    var ok = this.button(body, 'c1', 'OK', 252, 156, 48, 14, true, {kind: 'ok'});
    body.addEventListener('keydown', function (e) {
      if (e.key === 'Enter') { self.post({kind: 'ok'}); e.preventDefault(); }
    });
    ok.focus();
  },

  // --- message boxes: OK, or Yes and No with No the default ---
  message: function (text, question) {
    var self = this;
    var body = this.frame('message', 'Orlith', 0, 0);
    body.style.width = body.style.height = '';
    body.classList.add('orlith-message');
    var p = document.createElement('div');
    p.id = 'orlith-message-text';
    p.className = question ? 'orlith-question' : 'orlith-warning';
    p.textContent = text;
    body.appendChild(p);
    var row = document.createElement('div');
    row.className = 'orlith-buttons';
    var add = function (id, label, event) {
      var b = document.createElement('button');
      b.id = id;
      b.textContent = label;
      b.addEventListener('click', function () { self.post(event); });
      row.appendChild(b);
      return b;
    };
    var focus;
    if (question) {
      add('orlith-yes', 'はい(Y)', {kind: 'yes'});
      focus = add('orlith-no', 'いいえ(N)', {kind: 'no'});
    } else {
      focus = add('orlith-ok', 'OK', {kind: 'ok'});
    }
    focus.classList.add('orlith-default');
    body.appendChild(row);
    body.addEventListener('keydown', function (e) {
      var k = e.key.toLowerCase();
      if (question && k === 'y') self.post({kind: 'yes'});
      else if (question && (k === 'n' || k === 'escape')) self.post({kind: 'no'});
      else if (!question && k === 'escape') self.post({kind: 'ok'});
      else return;
      e.preventDefault();
    });
    focus.focus();
  }
};
