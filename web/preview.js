// The preview page: unpacks the set embedded in the page, draws it with WebGL2
// as the engine will show it, and offers window.preview to tests and tools.
"use strict";

const DEFAULT_RATE = 30;  // frames per second of a sequence without RATE=
const FIELD_OF_VIEW = 0.7;  // vertical, in radians
const POSITION_ROW = 1024;  // vertices per row of the texture holding a frame

// ---------------------------------------------------------------- the data

function decodeBase64(text) {
  if (Uint8Array.fromBase64) return Uint8Array.fromBase64(text);
  const table = new Uint8Array(128);
  const digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (let i = 0; i < 64; i++) table[digits.charCodeAt(i)] = i;
  let length = text.length;
  while (length > 0 && text[length - 1] === "=") length--;
  const out = new Uint8Array(Math.floor(length * 3 / 4));
  let o = 0, i = 0;
  for (; i + 4 <= length; i += 4) {
    const n = table[text.charCodeAt(i)] << 18 | table[text.charCodeAt(i + 1)] << 12 |
              table[text.charCodeAt(i + 2)] << 6 | table[text.charCodeAt(i + 3)];
    out[o++] = n >> 16; out[o++] = n >> 8 & 255; out[o++] = n & 255;
  }
  if (length - i >= 2) {
    const n = table[text.charCodeAt(i)] << 18 | table[text.charCodeAt(i + 1)] << 12 |
              (length - i === 3 ? table[text.charCodeAt(i + 2)] << 6 : 0);
    out[o++] = n >> 16;
    if (length - i === 3) out[o++] = n >> 8 & 255;
  }
  return out;
}

// The page holds one gzip stream, in base64 over several elements.
async function unpack() {
  const parts = [...document.querySelectorAll("script.set-data")].map(e => decodeBase64(e.textContent.trim()));
  if (parts.length === 0) throw new Error("the page holds no set");
  const stream = new Blob(parts).stream().pipeThrough(new DecompressionStream("gzip"));
  return new Uint8Array(await new Response(stream).arrayBuffer());
}

// A 32-bit length, the JSON describing the set, then 8-byte aligned sections.
function parseSet(bytes) {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const jsonLength = view.getUint32(0, true);
  const meta = JSON.parse(new TextDecoder().decode(bytes.subarray(4, 4 + jsonLength)));
  const base = bytes.byteOffset + Math.ceil((4 + jsonLength) / 8) * 8;
  const section = s => new Uint8Array(bytes.buffer, base + s.offset, s.length);
  const bytesOfFrames = section(meta.frames);
  // Each frame was stored less the one before it.
  const frames = new Int16Array(bytesOfFrames.buffer, bytesOfFrames.byteOffset, bytesOfFrames.length / 2);
  for (let i = meta.vertexCount * 4; i < frames.length; i++) frames[i] += frames[i - meta.vertexCount * 4];
  return {
    meta,
    vertexCount: meta.vertexCount,
    frameCount: meta.frameCount,
    scale: meta.scale.map(Math.fround),
    origin: (meta.origin || [0, 0, 0]).map(Math.fround),
    polygons: section(meta.polygons),
    frames,
    textures: meta.textures.map(t => ({ ...t, bytes: t.png ? section(t.png) : null,
                                        sourceBytes: t.sourcePng ? section(t.sourcePng) : null })),
  };
}

// Vertex n of frame f in the engine's model space: each record coordinate
// less the mesh's origin, times the mesh map's scale on its axis, in 32-bit
// floats (each step rounded once, as the reader's float arithmetic does).
function decodePositions(set, frame) {
  const v = set.vertexCount, out = new Array(v * 3), records = set.frames, s = set.scale, o = set.origin;
  for (let n = 0, at = frame * v * 4; n < v; n++, at += 4)
    for (let a = 0; a < 3; a++) out[3 * n + a] = Math.fround(Math.fround(records[at + a] - o[a]) * s[a]);
  return out;
}

// ---------------------------------------------------------------- matrices

function perspective(fovY, aspect, near, far) {
  const f = 1 / Math.tan(fovY / 2), r = 1 / (near - far);
  return [f / aspect, 0, 0, 0, 0, f, 0, 0, 0, 0, (far + near) * r, -1, 0, 0, 2 * far * near * r, 0];
}

function lookAt(eye, target, up) {
  const sub = (a, b) => [a[0] - b[0], a[1] - b[1], a[2] - b[2]];
  const norm = a => { const l = Math.hypot(...a) || 1; return [a[0] / l, a[1] / l, a[2] / l]; };
  const cross = (a, b) => [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]];
  const dot = (a, b) => a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
  const z = norm(sub(eye, target)), x = norm(cross(up, z)), y = cross(z, x);
  return [x[0], y[0], z[0], 0, x[1], y[1], z[1], 0, x[2], y[2], z[2], 0, -dot(x, eye), -dot(y, eye), -dot(z, eye), 1];
}

function multiply(a, b) {
  const out = new Array(16);
  for (let c = 0; c < 4; c++)
    for (let r = 0; r < 4; r++)
      out[c * 4 + r] = a[r] * b[c * 4] + a[4 + r] * b[c * 4 + 1] + a[8 + r] * b[c * 4 + 2] + a[12 + r] * b[c * 4 + 3];
  return out;
}

// The engine's Z is up; WebGL's Y is. Exchanging them shows the model as the
// engine, whose axes have the other handedness, draws it.
const toWorld = p => [p[0], p[2], p[1]];

// ---------------------------------------------------------------- drawing

const MESH_VERTEX = `#version 300 es
precision highp float;
precision highp int;
uniform highp isampler2D uFrameA, uFrameB;
uniform float uBlend;
uniform vec3 uScale, uOrigin;
uniform mat4 uViewProjection;
in uint aVertex;
in vec2 aUv;
in vec3 aBary;
out vec2 vUv;
out vec3 vBary;
out vec3 vWorld;
void main() {
  ivec2 at = ivec2(int(aVertex % ${POSITION_ROW}u), int(aVertex / ${POSITION_ROW}u));
  vec3 a = vec3(texelFetch(uFrameA, at, 0).xyz), b = vec3(texelFetch(uFrameB, at, 0).xyz);
  vec3 engine = (mix(a, b, uBlend) - uOrigin) * uScale;
  vWorld = engine.xzy;
  // The engine reads a coordinate byte b as b/256 of the texture's side.
  vUv = aUv / 256.0;
  vBary = aBary;
  gl_Position = uViewProjection * vec4(vWorld, 1.0);
}`;

const MESH_FRAGMENT = `#version 300 es
precision highp float;
uniform sampler2D uTexture;
uniform bool uHasTexture;
uniform int uMode;  // 1 textured, 2 wireframe, 3 both
uniform bool uMasked;     // entry 0 see-through: a masked import or a masked triangle
uniform bool uUnlit;
uniform bool uHighlight;  // the weapon triangle, when asked for
in vec2 vUv;
in vec3 vBary;
in vec3 vWorld;
out vec4 outColor;
void main() {
  vec3 normal = normalize(cross(dFdx(vWorld), dFdy(vWorld)));
  float light = 0.4 + 0.6 * abs(dot(normal, normalize(vec3(0.35, 0.8, 0.5))));
  // A slot without a texture shows a checker, as engines show a missing one.
  vec2 cell = floor(vUv * 8.0);
  vec3 missing = mod(cell.x + cell.y, 2.0) < 1.0 ? vec3(0.85, 0.2, 0.75) : vec3(0.25);
  vec4 texel = uHasTexture ? texture(uTexture, vUv) : vec4(missing, 1.0);
  if (uMasked && texel.a < 0.5 && (uMode & 1) != 0) discard;
  vec3 color = uUnlit ? texel.rgb : texel.rgb * light;
  if (uHighlight) color = mix(color, vec3(1.0, 0.25, 0.1), 0.75);
  if ((uMode & 2) != 0) {
    float edge = min(min(vBary.x, vBary.y), vBary.z);
    float line = 1.0 - smoothstep(0.0, fwidth(edge) * 1.2, edge);
    if (uMode == 2) {
      if (line < 0.05) discard;
      color = vec3(0.85, 0.9, 1.0);
    } else {
      color = mix(color, vec3(1.0, 0.95, 0.6), line);
    }
  }
  outColor = vec4(color, 1.0);
}`;

const LINE_VERTEX = `#version 300 es
uniform mat4 uViewProjection;
in vec3 aPosition;
in vec3 aColor;
out vec3 vColor;
void main() { vColor = aColor; gl_Position = uViewProjection * vec4(aPosition, 1.0); }`;

const LINE_FRAGMENT = `#version 300 es
precision mediump float;
in vec3 vColor;
out vec4 outColor;
void main() { outColor = vec4(vColor, 1.0); }`;

function compile(gl, vertexSource, fragmentSource) {
  const program = gl.createProgram();
  for (const [type, source] of [[gl.VERTEX_SHADER, vertexSource], [gl.FRAGMENT_SHADER, fragmentSource]]) {
    const shader = gl.createShader(type);
    gl.shaderSource(shader, source);
    gl.compileShader(shader);
    if (!gl.getShaderParameter(shader, gl.COMPILE_STATUS)) throw new Error(gl.getShaderInfoLog(shader));
    gl.attachShader(program, shader);
  }
  gl.linkProgram(program);
  if (!gl.getProgramParameter(program, gl.LINK_STATUS)) throw new Error(gl.getProgramInfoLog(program));
  const uniforms = {}, count = gl.getProgramParameter(program, gl.ACTIVE_UNIFORMS);
  for (let i = 0; i < count; i++) {
    const name = gl.getActiveUniform(program, i).name;
    uniforms[name] = gl.getUniformLocation(program, name);
  }
  return { program, uniforms };
}

class Renderer {
  constructor(canvas, set, images) {
    const gl = canvas.getContext("webgl2", { antialias: true, preserveDrawingBuffer: true });
    if (!gl) throw new Error("this browser offers no WebGL2");
    this.gl = gl;
    this.canvas = canvas;
    this.set = set;
    this.mesh = compile(gl, MESH_VERTEX, MESH_FRAGMENT);
    this.lines = compile(gl, LINE_VERTEX, LINE_FRAGMENT);
    this.mode = 1;
    this.showBox = true;
    this.buildCorners();
    this.buildFrameTextures();
    this.buildTextures(images);
    this.buildLines();
  }

  // Texture coordinates belong to triangle corners, not to vertices: every
  // corner is drawn on its own and looks its vertex up in the frame texture.
  // Triangles naming vertices past the last (listed as problems) are left out.
  buildCorners() {
    const gl = this.gl, set = this.set, records = set.polygons, count = records.length / 16;
    // Drawn in groups of one texture slot and one triangle type (its low three
    // bits the kind, then 8 weapon, 16 unlit, 32 flat, 64 environment-mapped).
    const byKey = new Map();
    for (let t = 0; t < count; t++) {
      const r = t * 16, slot = records[r + 14], type = records[r + 6];
      const corners = [records[r] | records[r + 1] << 8, records[r + 2] | records[r + 3] << 8,
                       records[r + 4] | records[r + 5] << 8];
      if (corners.some(c => c >= set.vertexCount)) continue;
      const key = slot * 256 + type;
      if (!byKey.has(key)) byKey.set(key, []);
      byKey.get(key).push(t);
    }
    this.triangleCount = 0;
    this.groups = [];
    this.weaponTriangles = 0;
    // Opaque kinds first, then the blended ones over them.
    const order = key => [0, 1, 3].includes(key & 7) ? 0 : 1;
    for (const [key, triangles] of [...byKey].sort((a, b) => order(a[0]) - order(b[0]) || a[0] - b[0])) {
      const slot = key >> 8, type = key & 255;
      const n = triangles.length * 3;
      const vertex = new Uint16Array(n), uv = new Uint8Array(n * 2), bary = new Uint8Array(n * 3);
      if (type & 8) this.weaponTriangles += triangles.length;
      triangles.forEach((t, i) => {
        const r = t * 16;
        for (let k = 0; k < 3; k++) {
          const c = i * 3 + k;
          vertex[c] = records[r + 2 * k] | records[r + 2 * k + 1] << 8;
          uv[2 * c] = records[r + 8 + 2 * k];
          uv[2 * c + 1] = records[r + 9 + 2 * k];
          bary[3 * c + k] = 255;
        }
      });
      const vao = gl.createVertexArray();
      gl.bindVertexArray(vao);
      const attribute = (name, data, size, type, normalized, integer) => {
        const location = gl.getAttribLocation(this.mesh.program, name);
        if (location < 0) return;
        gl.bindBuffer(gl.ARRAY_BUFFER, gl.createBuffer());
        gl.bufferData(gl.ARRAY_BUFFER, data, gl.STATIC_DRAW);
        gl.enableVertexAttribArray(location);
        if (integer) gl.vertexAttribIPointer(location, size, type, 0, 0);
        else gl.vertexAttribPointer(location, size, type, normalized, 0, 0);
      };
      attribute("aVertex", vertex, 1, gl.UNSIGNED_SHORT, false, true);
      attribute("aUv", uv, 2, gl.UNSIGNED_BYTE, false, false);
      attribute("aBary", bary, 3, gl.UNSIGNED_BYTE, true, false);
      gl.bindVertexArray(null);
      this.groups.push({ slot, type, vao, count: n });
      this.triangleCount += triangles.length;
    }
  }

  // Each frame's records (x, y, z, reserved) are one RGBA16I texel a vertex:
  // changing frames uploads one frame, whatever the length of the animation.
  buildFrameTextures() {
    const gl = this.gl, v = Math.max(1, this.set.vertexCount);
    this.rows = Math.ceil(v / POSITION_ROW);
    this.staging = new Int16Array(POSITION_ROW * this.rows * 4);
    this.frameTextures = [0, 1].map(() => {
      const texture = gl.createTexture();
      gl.bindTexture(gl.TEXTURE_2D, texture);
      gl.texStorage2D(gl.TEXTURE_2D, 1, gl.RGBA16I, POSITION_ROW, this.rows);
      gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MIN_FILTER, gl.NEAREST);
      gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MAG_FILTER, gl.NEAREST);
      return { texture, frame: -1 };
    });
  }

  loadFrame(unit, frame) {
    const target = this.frameTextures[unit];
    if (target.frame === frame) return;
    const gl = this.gl, v = this.set.vertexCount;
    this.staging.set(this.set.frames.subarray(frame * v * 4, (frame + 1) * v * 4));
    gl.bindTexture(gl.TEXTURE_2D, target.texture);
    gl.pixelStorei(gl.UNPACK_ALIGNMENT, 1);
    gl.texSubImage2D(gl.TEXTURE_2D, 0, 0, 0, POSITION_ROW, this.rows, gl.RGBA_INTEGER, gl.SHORT, this.staging);
    target.frame = frame;
  }

  buildTextures(images) {
    const gl = this.gl;
    this.slotTextures = new Map();
    this.maskedSlots = new Set();
    for (const { slot, image, masked } of images) {
      if (masked) this.maskedSlots.add(slot);
      const texture = gl.createTexture();
      gl.bindTexture(gl.TEXTURE_2D, texture);
      gl.pixelStorei(gl.UNPACK_ALIGNMENT, 4);
      gl.texImage2D(gl.TEXTURE_2D, 0, gl.RGBA, gl.RGBA, gl.UNSIGNED_BYTE, image);
      gl.generateMipmap(gl.TEXTURE_2D);
      gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MIN_FILTER, gl.LINEAR_MIPMAP_LINEAR);
      gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MAG_FILTER, gl.LINEAR);
      gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_WRAP_S, gl.REPEAT);
      gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_WRAP_T, gl.REPEAT);
      this.slotTextures.set(slot, texture);
    }
  }

  // The box of all frames, and the engine's axes from its origin.
  buildLines() {
    const gl = this.gl, box = this.set.meta.box;
    const lo = toWorld(box.min), hi = toWorld(box.max);
    const data = [];
    const grey = [0.55, 0.58, 0.63];
    const corner = i => [i & 1 ? hi[0] : lo[0], i & 2 ? hi[1] : lo[1], i & 4 ? hi[2] : lo[2]];
    for (let i = 0; i < 8; i++)
      for (const bit of [1, 2, 4])
        if (!(i & bit)) data.push(...corner(i), ...grey, ...corner(i | bit), ...grey);
    const size = Math.max(hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2], 1e-6) * 0.25;
    const axes = [[[1, 0, 0], [0.95, 0.3, 0.3]], [[0, 1, 0], [0.35, 0.85, 0.35]], [[0, 0, 1], [0.35, 0.55, 1]]];
    for (const [direction, color] of axes)
      data.push(0, 0, 0, ...color, ...toWorld(direction.map(d => d * size)), ...color);
    this.lineCount = data.length / 6;
    this.lineVao = gl.createVertexArray();
    gl.bindVertexArray(this.lineVao);
    gl.bindBuffer(gl.ARRAY_BUFFER, gl.createBuffer());
    gl.bufferData(gl.ARRAY_BUFFER, new Float32Array(data), gl.STATIC_DRAW);
    const position = gl.getAttribLocation(this.lines.program, "aPosition");
    const color = gl.getAttribLocation(this.lines.program, "aColor");
    gl.enableVertexAttribArray(position);
    gl.vertexAttribPointer(position, 3, gl.FLOAT, false, 24, 0);
    gl.enableVertexAttribArray(color);
    gl.vertexAttribPointer(color, 3, gl.FLOAT, false, 24, 12);
    gl.bindVertexArray(null);
  }

  resize() {
    const ratio = window.devicePixelRatio || 1;
    const width = Math.max(1, Math.round(this.canvas.clientWidth * ratio));
    const height = Math.max(1, Math.round(this.canvas.clientHeight * ratio));
    if (this.canvas.width !== width || this.canvas.height !== height) {
      this.canvas.width = width;
      this.canvas.height = height;
    }
  }

  // Frame a, blended towards frame b by blend (0 to 1) as the engine
  // interpolates between keyframes while it plays.
  draw(camera, a, b, blend) {
    const gl = this.gl;
    this.resize();
    gl.viewport(0, 0, this.canvas.width, this.canvas.height);
    gl.clearColor(0.169, 0.184, 0.212, 1);
    gl.clear(gl.COLOR_BUFFER_BIT | gl.DEPTH_BUFFER_BIT);
    gl.enable(gl.DEPTH_TEST);
    const viewProjection = camera.matrix(this.canvas.width / this.canvas.height);
    if (this.set.frameCount > 0 && this.groups.length > 0) {
      this.loadFrame(0, a);
      this.loadFrame(1, b);
      const u = this.mesh.uniforms;
      gl.useProgram(this.mesh.program);
      gl.uniformMatrix4fv(u.uViewProjection, false, viewProjection);
      gl.uniform3fv(u.uScale, this.set.scale);
      gl.uniform3fv(u.uOrigin, this.set.origin);
      gl.uniform1f(u.uBlend, blend);
      gl.uniform1i(u.uMode, this.mode);
      gl.activeTexture(gl.TEXTURE0);
      gl.bindTexture(gl.TEXTURE_2D, this.frameTextures[0].texture);
      gl.uniform1i(u.uFrameA, 0);
      gl.activeTexture(gl.TEXTURE1);
      gl.bindTexture(gl.TEXTURE_2D, this.frameTextures[1].texture);
      gl.uniform1i(u.uFrameB, 1);
      gl.uniform1i(u.uTexture, 2);
      for (const group of this.groups) {
        const texture = this.slotTextures.get(group.slot), kind = group.type & 7;
        gl.activeTexture(gl.TEXTURE2);
        gl.bindTexture(gl.TEXTURE_2D, texture || null);
        gl.uniform1i(u.uHasTexture, texture ? 1 : 0);
        gl.uniform1i(u.uMasked, this.maskedSlots.has(group.slot) || kind === 3 ? 1 : 0);
        gl.uniform1i(u.uUnlit, group.type & 16 ? 1 : 0);
        gl.uniform1i(u.uHighlight, this.highlightWeapon && group.type & 8 ? 1 : 0);
        // One-sided triangles show their front only; translucent ones add
        // their colour, modulated ones multiply what is behind by twice theirs.
        if (kind === 0) gl.enable(gl.CULL_FACE); else gl.disable(gl.CULL_FACE);
        if (kind === 2 || kind === 4) {
          gl.enable(gl.BLEND);
          gl.depthMask(false);
          if (kind === 2) gl.blendFunc(gl.ONE, gl.ONE_MINUS_SRC_COLOR);
          else gl.blendFunc(gl.DST_COLOR, gl.SRC_COLOR);
        }
        gl.bindVertexArray(group.vao);
        gl.drawArrays(gl.TRIANGLES, 0, group.count);
        gl.disable(gl.BLEND);
        gl.disable(gl.CULL_FACE);
        gl.depthMask(true);
      }
    }
    if (this.showBox) {
      gl.useProgram(this.lines.program);
      gl.uniformMatrix4fv(this.lines.uniforms.uViewProjection, false, viewProjection);
      gl.bindVertexArray(this.lineVao);
      gl.drawArrays(gl.LINES, 0, this.lineCount);
    }
    gl.bindVertexArray(null);
  }
}

// ---------------------------------------------------------------- camera

class Camera {
  // Centred on the model at rest, far enough that every frame stays in view
  // whatever the window's shape.
  constructor(box, restBox) {
    const lo = toWorld(box.min), hi = toWorld(box.max);
    const rest = restBox ? [toWorld(restBox.min), toWorld(restBox.max)] : [lo, hi];
    const target = [0, 1, 2].map(i => (rest[0][i] + rest[1][i]) / 2);
    const reach = [0, 1, 2].map(i => Math.max(Math.abs(lo[i] - target[i]), Math.abs(hi[i] - target[i])));
    this.home = { target, radius: Math.max(Math.hypot(...reach), 1e-3) };
    this.reset();
  }

  reset() {
    this.target = [...this.home.target];
    this.zoomFactor = 1;
    this.yaw = 0.6;
    this.pitch = 0.3;
    this.aspect = 1;
  }

  // The distance at which the sphere around every frame fills the narrower of
  // the two fields of view, with a margin; zooming scales it.
  get distance() {
    const half = Math.min(FIELD_OF_VIEW / 2, Math.atan(Math.tan(FIELD_OF_VIEW / 2) * this.aspect));
    return this.home.radius / Math.sin(half) * 1.08 * this.zoomFactor;
  }

  eye() {
    const c = Math.cos(this.pitch), d = this.distance;
    return [this.target[0] + d * c * Math.sin(this.yaw), this.target[1] + d * Math.sin(this.pitch),
            this.target[2] + d * c * Math.cos(this.yaw)];
  }

  matrix(aspect) {
    this.aspect = aspect;
    const d = this.distance;
    const near = Math.max(d - this.home.radius * 4, d * 0.01);
    const far = d + this.home.radius * 4;
    return multiply(perspective(FIELD_OF_VIEW, aspect, near, far), lookAt(this.eye(), this.target, [0, 1, 0]));
  }

  orbit(dx, dy) {
    this.yaw -= dx * 0.008;
    this.pitch = Math.max(-1.55, Math.min(1.55, this.pitch + dy * 0.008));
  }

  pan(dx, dy, viewHeight) {
    const perPixel = 2 * this.distance * Math.tan(FIELD_OF_VIEW / 2) / viewHeight;
    const view = lookAt(this.eye(), this.target, [0, 1, 0]);
    const right = [view[0], view[4], view[8]], up = [view[1], view[5], view[9]];
    for (let i = 0; i < 3; i++) this.target[i] += (-dx * right[i] + dy * up[i]) * perPixel;
  }

  zoom(steps) {
    this.zoomFactor = Math.max(0.02, Math.min(20, this.zoomFactor * Math.exp(steps * 0.1)));
  }
}

// ---------------------------------------------------------------- the page

const $ = id => document.getElementById(id);

function text(tag, content, className) {
  const element = document.createElement(tag);
  element.textContent = content;
  if (className) element.className = className;
  return element;
}

const number = x => (Math.abs(x) >= 1e6 || (x !== 0 && Math.abs(x) < 1e-4)) ? x.toExponential(4) : +x.toPrecision(6) + "";
const triple = a => a.map(number).join("  ");

// "As painted": each texture as the engine will draw it beside the image it
// was converted from, so that the artist sees what the conversion did.
function fillPainted(set) {
  const list = $("painted");
  let any = false;
  for (const t of set.textures) {
    if (!t.bytes) continue;
    const figure = document.createElement("figure");
    const image = bytes => {
      const img = document.createElement("img");
      img.src = URL.createObjectURL(new Blob([bytes], { type: "image/png" }));
      return img;
    };
    figure.append(image(t.bytes));
    if (t.sourceBytes) { figure.append(image(t.sourceBytes)); any = true; }
    figure.append(text("figcaption", `${t.name}: ${t.file}` + (t.sourceBytes ? ` (right: ${t.source})` : " (no source image here)")
      + (t.masked ? "; masked: entry 0 see-through" : "")));
    list.append(figure);
  }
  $("painted-hint").textContent = any ? "Left as the engine draws it, right as painted."
    : "The source images are shown when the page is written by an export (--preview).";
  $("as-painted").addEventListener("change", e => { $("painted-section").hidden = !e.target.checked; });
}

function fillInfo(set, renderer) {
  const m = set.meta, info = $("info");
  const rows = [
    ["Files", [m.files.data, m.files.anim, m.files.script].filter(Boolean).join(", ") || "none"],
    ["Vertices", `${set.vertexCount}`],
    ["Triangles", `${renderer.triangleCount} drawn of ${m.header.polygonCount} counted`],
    ["Frames", `${set.frameCount}` + (m.header.frameCount !== set.frameCount ? ` (the header says ${m.header.frameCount})` : "")],
    ["Frame size", `${m.header.frameSize} bytes`],
    ["Scale", `X ${number(set.scale[0])}  Y ${number(set.scale[1])}  Z ${number(set.scale[2])}`],
    ["Box min", triple(m.box.min)],
    ["Box max", triple(m.box.max)],
    ["Size", triple(m.box.max.map((x, i) => x - m.box.min[i]))],
  ];
  for (const t of m.textures)
    rows.push([`Texture ${t.slot}`, `${t.name}: ${t.png ? `${t.found} (${t.width}×${t.height})` : `${t.file || "?"} — not shown`}`]);
  for (const [key, value] of rows) info.append(text("dt", key), text("dd", value));
  for (const [id, list] of [["problems", m.problems], ["notes", m.notes]]) {
    $(id + "-section").hidden = list.length === 0;
    for (const line of list) $(id).append(text("li", line));
  }
}

class Player {
  constructor(set, renderer, camera) {
    this.set = set;
    this.renderer = renderer;
    this.camera = camera;
    this.range = { name: "All frames", first: 0, count: set.frameCount, rate: DEFAULT_RATE };
    this.time = 0;  // frames from the start of the range, fractional while playing
    this.playing = false;
    this.pending = null;
    this.drawnCallbacks = [];
  }

  get frame() { return this.range.first + Math.floor(this.time); }

  // The range of a sequence, cut to the frames the set has.
  select(range, button) {
    const last = Math.max(0, this.set.frameCount - 1);
    const first = Math.min(Math.max(0, range.first), last);
    this.range = { ...range, first, count: Math.max(1, Math.min(range.count, this.set.frameCount - first)) };
    for (const b of document.querySelectorAll(".sequence")) b.classList.toggle("selected", b === button);
    this.time = 0;
    const slider = $("slider");
    slider.min = this.range.first;
    slider.max = this.range.first + this.range.count - 1;
    this.request();
  }

  setFrame(frame) {
    const f = Math.min(Math.max(frame, 0), Math.max(0, this.set.frameCount - 1));
    if (f < this.range.first || f >= this.range.first + this.range.count) this.select(this.allFrames, $("all-frames"));
    this.time = f - this.range.first;
    this.request();
  }

  toggle() {
    this.playing = !this.playing && this.set.frameCount > 1;
    if (this.playing && !$("loop").checked && Math.floor(this.time) >= this.range.count - 1) this.time = 0;
    this.last = performance.now();
    $("play").textContent = this.playing ? "Pause" : "Play";
    this.request();
  }

  pause() {
    if (this.playing) this.toggle();
  }

  request() {
    if (this.pending === null) this.pending = requestAnimationFrame(now => this.tick(now));
  }

  tick(now) {
    this.pending = null;
    if (this.playing) {
      const speed = parseFloat($("speed").value);
      this.time += (now - this.last) / 1000 * (this.range.rate || DEFAULT_RATE) * speed;
      this.last = now;
      if (this.time >= this.range.count - ($("loop").checked ? 0 : 1)) {
        if ($("loop").checked) this.time %= this.range.count;
        else { this.time = this.range.count - 1; this.toggle(); }
      }
    }
    this.draw();
    if (this.playing) this.request();
  }

  draw() {
    const whole = Math.floor(this.time), a = this.range.first + whole;
    let b = a, blend = 0;
    if (this.playing && this.range.count > 1) {
      // Past the last frame a looping sequence blends back into its first.
      b = whole + 1 < this.range.count ? a + 1 : this.range.first;
      blend = this.time - whole;
    }
    if (this.set.frameCount > 0) {
      this.renderer.draw(this.camera, a, b, blend);
    } else {
      this.renderer.draw(this.camera, 0, 0, 0);
    }
    $("slider").value = a;
    $("frame-number").textContent = this.set.frameCount === 0 ? "no frame"
      : `frame ${a}` + (this.range.count < this.set.frameCount ? ` · ${whole + 1}/${this.range.count}` : "");
    const callbacks = this.drawnCallbacks;
    this.drawnCallbacks = [];
    for (const resolve of callbacks) resolve();
  }
}

function buildControls(set, player, renderer, camera) {
  player.allFrames = { name: "All frames", first: 0, count: set.frameCount, rate: DEFAULT_RATE };
  $("all-frames").addEventListener("click", e => player.select(player.allFrames, e.currentTarget));
  for (const s of set.meta.sequences) {
    const button = document.createElement("button");
    button.type = "button";
    button.className = "sequence";
    button.dataset.name = s.name;
    button.dataset.firstFrame = s.firstFrame;
    button.dataset.frameCount = s.frameCount;
    const faulty = s.firstFrame < 0 || s.frameCount < 1 || s.firstFrame + s.frameCount > set.frameCount;
    if (faulty) button.classList.add("faulty");
    button.title = faulty ? "runs past the frames the set has" : "";
    button.append(text("span", s.name),
                  text("span", `${s.firstFrame}–${s.firstFrame + s.frameCount - 1} · ${s.rate || DEFAULT_RATE} fps`, "range"));
    const range = { name: s.name, first: s.firstFrame, count: s.frameCount, rate: s.rate };
    button.addEventListener("click", () => player.select(range, button));
    const item = document.createElement("li");
    item.append(button);
    $("sequences").append(item);
  }
  player.select(player.allFrames, $("all-frames"));

  $("play").disabled = set.frameCount < 2;
  $("play").addEventListener("click", () => player.toggle());
  $("slider").addEventListener("input", e => { player.pause(); player.setFrame(+e.target.value); });
  $("draw").addEventListener("change", e => { renderer.mode = +e.target.value; player.request(); });
  $("box").addEventListener("change", e => { renderer.showBox = e.target.checked; player.request(); });
  $("weapon").disabled = renderer.weaponTriangles === 0;
  $("weapon").addEventListener("change", e => { renderer.highlightWeapon = e.target.checked; player.request(); });
  $("reset").addEventListener("click", () => { camera.reset(); player.request(); });

  window.addEventListener("keydown", e => {
    if (e.target instanceof HTMLInputElement || e.target instanceof HTMLSelectElement) return;
    if (e.key === " ") { e.preventDefault(); player.toggle(); }
    else if (e.key === "ArrowRight" || e.key === "ArrowLeft") {
      player.pause();
      const step = e.key === "ArrowRight" ? 1 : -1, r = player.range;
      player.setFrame(r.first + ((player.frame - r.first + step + r.count) % r.count));
    }
  });

  const canvas = renderer.canvas;
  let dragging = null;
  canvas.addEventListener("contextmenu", e => e.preventDefault());
  canvas.addEventListener("pointerdown", e => {
    canvas.setPointerCapture(e.pointerId);
    dragging = { x: e.clientX, y: e.clientY, pan: e.button !== 0 || e.shiftKey };
  });
  canvas.addEventListener("pointermove", e => {
    if (!dragging) return;
    const dx = e.clientX - dragging.x, dy = e.clientY - dragging.y;
    dragging.x = e.clientX;
    dragging.y = e.clientY;
    if (dragging.pan) camera.pan(dx, dy, canvas.clientHeight);
    else camera.orbit(dx, dy);
    player.request();
  });
  const stop = () => { dragging = null; };
  canvas.addEventListener("pointerup", stop);
  canvas.addEventListener("pointercancel", stop);
  canvas.addEventListener("wheel", e => {
    e.preventDefault();
    camera.zoom(Math.sign(e.deltaY) * Math.min(3, Math.abs(e.deltaY) / 40 || 1));
    player.request();
  }, { passive: false });
  new ResizeObserver(() => player.request()).observe(canvas);
}

async function main() {
  const status = $("status");
  try {
    const started = performance.now();
    const set = parseSet(await unpack());
    document.title = `${set.meta.name} – preview`;
    $("title").textContent = set.meta.name;
    const images = [];
    for (const t of set.textures)
      if (t.bytes)
        images.push({ slot: t.slot, masked: t.masked,
                      image: await createImageBitmap(new Blob([t.bytes], { type: "image/png" })) });
    fillPainted(set);
    const renderer = new Renderer($("view"), set, images);
    const camera = new Camera(set.meta.box, set.meta.restBox);
    const player = new Player(set, renderer, camera);
    fillInfo(set, renderer);
    buildControls(set, player, renderer, camera);
    const problems = set.meta.problems.length;
    status.textContent = (problems ? `${problems} problem${problems === 1 ? "" : "s"}: see below. ` : "Consistent. ") +
      `Unpacked in ${Math.round(performance.now() - started)} ms.`;
    if (problems) status.className = "error";

    window.preview = Object.freeze({
      frameCount: set.frameCount,
      vertexCount: set.vertexCount,
      triangleCount: renderer.triangleCount,
      sequences: set.meta.sequences.map(s => ({ name: s.name, firstFrame: s.firstFrame, frameCount: s.frameCount })),
      problems: [...set.meta.problems],
      weaponTriangles: renderer.weaponTriangles,
      // Where a point of the engine's model space lands on the canvas, in
      // canvas pixels from the top left, for tests that read pixels back.
      canvasPoint(p) {
        const m = camera.matrix(renderer.canvas.width / renderer.canvas.height), w = toWorld(p);
        const clip = [0, 1, 2, 3].map(i => m[i] * w[0] + m[4 + i] * w[1] + m[8 + i] * w[2] + m[12 + i]);
        return [(clip[0] / clip[3] + 1) / 2 * renderer.canvas.width, (1 - clip[1] / clip[3]) / 2 * renderer.canvas.height];
      },
      // Looks along the engine's -Z (down from above) or another axis, for such tests.
      look(yaw, pitch) { camera.yaw = yaw; camera.pitch = pitch; player.request(); },
      get frame() { return player.frame; },
      // Resolves once the frame is drawn (and the canvas keeps it).
      show(frame) {
        if (!Number.isInteger(frame) || frame < 0 || frame >= set.frameCount)
          return Promise.reject(new RangeError(`no frame ${frame} (${set.frameCount} frames)`));
        player.pause();
        player.setFrame(frame);
        return new Promise(resolve => { player.drawnCallbacks.push(resolve); player.request(); });
      },
      positions(frame) {
        if (!Number.isInteger(frame) || frame < 0 || frame >= set.frameCount)
          throw new RangeError(`no frame ${frame} (${set.frameCount} frames)`);
        return decodePositions(set, frame);
      },
    });
  } catch (error) {
    status.textContent = `Cannot show the set: ${error.message}`;
    status.className = "error";
    window.previewError = String(error);
    throw error;
  }
}

main();
