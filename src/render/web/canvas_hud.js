// The page's side of the HUD layer (a --pre-js of the game): a canvas the size of the picture,
// veils and texts drawn as the game lays them out, then copied into the layer texture bound in
// the game's WebGL context. And PNG coding by the browser's codecs, without colour management.
Module.orlithHud = {
  font: 'bold 24px "ＭＳ ゴシック", "MS Gothic", "IPAGothic", "IPAexGothic", "Noto Sans CJK JP", "VL Gothic", monospace',
  canvas: null,
  context: null,
  ascent: 0,
  lineHeight: 0,

  begin: function (width, height) {
    if (!this.canvas) {
      this.canvas = document.createElement('canvas');
    }
    if (this.canvas.width !== width || this.canvas.height !== height) {
      this.canvas.width = width;
      this.canvas.height = height;
      this.context = null;
    }
    if (!this.context) {
      this.context = this.canvas.getContext('2d');
      this.context.font = this.font;
      this.context.textBaseline = 'alphabetic';
      var m = this.context.measureText('Hg漢');
      this.ascent = m.fontBoundingBoxAscent || 21;
      this.lineHeight = (m.fontBoundingBoxAscent || 21) + (m.fontBoundingBoxDescent || 3);
    }
    this.context.clearRect(0, 0, width, height);
  },
  measure: function (codePoint) {
    if (!this.context) this.begin(1, 1);
    return this.context.measureText(String.fromCodePoint(codePoint)).width;
  },
  veil: function (left, top, right, bottom) {
    this.context.fillStyle = 'rgba(255, 255, 255, 0.4)';
    this.context.fillRect(left, top, right - left, bottom - top);
  },
  line: function (text, x, top, line) {
    this.context.fillStyle = '#000';
    this.context.fillText(text, x, Math.floor(top + this.ascent + this.lineHeight * line + 0.5));
  },
  upload: function () {
    // Straight alpha, as the layer is read; the canvas's rows from the top.
    GLctx.pixelStorei(GLctx.UNPACK_PREMULTIPLY_ALPHA_WEBGL, false);
    GLctx.pixelStorei(GLctx.UNPACK_FLIP_Y_WEBGL, false);
    GLctx.texSubImage2D(GLctx.TEXTURE_2D, 0, 0, 0, GLctx.RGBA, GLctx.UNSIGNED_BYTE, this.canvas);
    return GLctx.getError() === 0 ? 1 : 0;
  }
};

Module.orlithImages = {
  decode: async function (bytes, size, width, height, pixels) {
    try {
      var blob = new Blob([HEAPU8.slice(bytes, bytes + size)], {type: 'image/png'});
      var bitmap = await createImageBitmap(blob, {premultiplyAlpha: 'none', colorSpaceConversion: 'none'});
      var canvas = document.createElement('canvas');
      canvas.width = bitmap.width;
      canvas.height = bitmap.height;
      var context = canvas.getContext('2d', {willReadFrequently: true});
      context.drawImage(bitmap, 0, 0);
      var data = context.getImageData(0, 0, bitmap.width, bitmap.height).data;
      var at = _malloc(data.length);
      if (!at) return 0;
      HEAPU8.set(data, at);
      HEAP32[width >> 2] = bitmap.width;
      HEAP32[height >> 2] = bitmap.height;
      HEAPU32[pixels >> 2] = at;
      return 1;
    } catch (e) {
      return 0;
    }
  },
  encode: function (rgba, width, height, out) {
    var canvas = document.createElement('canvas');
    canvas.width = width;
    canvas.height = height;
    var context = canvas.getContext('2d');
    var image = context.createImageData(width, height);
    image.data.set(HEAPU8.subarray(rgba, rgba + width * height * 4));
    context.putImageData(image, 0, 0);
    var text = atob(canvas.toDataURL('image/png').split(',')[1]);
    var at = _malloc(text.length);
    if (!at) return 0;
    for (var i = 0; i < text.length; ++i) HEAPU8[at + i] = text.charCodeAt(i);
    HEAPU32[out >> 2] = at;
    return text.length;
  }
};
