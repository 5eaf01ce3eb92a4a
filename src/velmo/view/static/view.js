// The viewer's page: draws the pictures the server sends and builds one panel per tool from the
// metadata it sends first. Every value shown is the one the server read back from the tool.
"use strict";

const WINDOWS_MS = [1, 2, 5, 10, 20, 50, 100, 200, 500, 1000];
const token = new URLSearchParams(location.search).get("token");
const withToken = (path) => (token ? `${path}?token=${encodeURIComponent(token)}` : path);
const $ = (id) => document.getElementById(id);

let socket = null;
let live = false;
let tools = [];
let state = {};
let drawing = false;
let pending = null;
// Files whose recording the server has said is finished.
const finishedRecordings = new Set();
let framesShown = [];

function send(message) {
  if (socket && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(message));
}

function element(tag, attributes = {}, children = []) {
  const made = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (name === "text") made.textContent = value;
    else made.setAttribute(name, value);
  }
  for (const child of children) made.append(child);
  return made;
}

function formatRate(rate) {
  if (rate === null || rate === undefined) return "–";
  if (rate >= 1e6) return `${(rate / 1e6).toFixed(2)} Mev/s`;
  if (rate >= 1e3) return `${(rate / 1e3).toFixed(1)} kev/s`;
  return `${rate} ev/s`;
}

function formatBytes(bytes) {
  if (bytes >= 1e9) return `${(bytes / 1e9).toFixed(2)} GB`;
  if (bytes >= 1e6) return `${(bytes / 1e6).toFixed(1)} MB`;
  return `${(bytes / 1e3).toFixed(0)} kB`;
}

function setStatus(text, bad = false) {
  const status = $("settings-status");
  status.textContent = text;
  status.classList.toggle("bad", bad);
}

// One control per parameter, from its type: a slider with a box for numbers, a switch for
// booleans, a list for enums.
function parameterRow(kind, parameter) {
  const row = element("div", { class: "param", id: `p-${kind}-${parameter.name}`, "data-type": parameter.type });
  row.append(element("label", { text: parameter.name, title: parameter.description || parameter.name }));
  const readOnly = !live;
  const commit = (value) => {
    row.querySelector(".reason").textContent = "";
    send({ type: "set", tool: kind, name: parameter.name, value });
  };
  if (parameter.type === "INT" || parameter.type === "FLOAT") {
    const integer = parameter.type === "INT";
    const hasRange = parameter.min !== undefined;
    const step = integer ? 1 : hasRange ? (parameter.max - parameter.min) / 1000 : "any";
    const slider = element("input", { type: "range", class: "slider", step: String(step) });
    if (hasRange) { slider.min = parameter.min; slider.max = parameter.max; }
    const box = element("input", { type: "number", class: "box", step: integer ? "1" : "any" });
    slider.addEventListener("input", () => { box.value = slider.value; });
    slider.addEventListener("change", () => commit(Number(slider.value)));
    box.addEventListener("change", () => {
      if (box.value.trim() !== "") commit(Number(box.value));
    });
    for (const input of [slider, box]) input.disabled = readOnly;
    row.append(slider, box);
    row.append(element("span", { class: "unit", text: parameter.unit || "" }));
  } else if (parameter.type === "BOOL") {
    const input = element("input", { type: "checkbox", class: "toggle", role: "switch" });
    input.disabled = readOnly;
    input.addEventListener("change", () => commit(input.checked));
    row.append(element("label", { class: "switch" }, [input, element("span")]));
    row.append(element("span"));
  } else if (parameter.type === "ENUM") {
    const select = element("select", { class: "choice" }, (parameter.options || []).map(
      (option) => element("option", { value: option, text: option })));
    select.disabled = readOnly;
    select.addEventListener("change", () => commit(select.value));
    row.append(select);
  } else {
    const box = element("input", { type: "text", class: "box" });
    box.disabled = true;
    row.append(box, element("span"));
  }
  if (!readOnly && parameter.default !== undefined) {
    const reset = element("button", { type: "button", class: "reset", title: `Reset to ${parameter.default}`, text: "↺" });
    reset.addEventListener("click", () => {
      row.querySelector(".reason").textContent = "";
      send({ type: "reset", tool: kind, name: parameter.name });
    });
    row.append(reset);
  }
  const meta = [];
  if (parameter.min !== undefined) meta.push(`${parameter.min} to ${parameter.max}${parameter.unit ? " " + parameter.unit : ""}`);
  if (parameter.default !== undefined) meta.push(`default ${parameter.default}`);
  if (meta.length) row.append(element("div", { class: "meta", text: meta.join(" · ") }));
  row.append(element("div", { class: "reason", role: "status" }));
  return row;
}

function buildTools() {
  const holder = $("tools");
  holder.replaceChildren();
  for (const tool of tools) {
    const legend = element("legend", { text: tool.kind });
    if (tool.description) legend.append(element("small", { text: tool.description }));
    holder.append(element("fieldset", { id: `tool-${tool.kind}` },
      [legend, ...tool.parameters.map((parameter) => parameterRow(tool.kind, parameter))]));
  }
}

function showSettings(settings) {
  for (const [kind, parameters] of Object.entries(settings)) {
    for (const [name, value] of Object.entries(parameters)) {
      const row = $(`p-${kind}-${name}`);
      if (!row) continue;
      const toggle = row.querySelector("input.toggle");
      if (toggle) toggle.checked = value === true;
      const choice = row.querySelector("select");
      if (choice) choice.value = value;
      for (const input of row.querySelectorAll("input.slider, input.box")) {
        if (document.activeElement !== input || input.classList.contains("slider")) input.value = value;
      }
      row.dataset.value = JSON.stringify(value);
    }
  }
}

function showState(next) {
  state = next;
  $("pause").textContent = state.paused ? "Resume" : "Pause";
  const index = WINDOWS_MS.findIndex((ms) => ms * 1000 >= state.window_us);
  $("window").value = index < 0 ? WINDOWS_MS.length - 1 : index;
  $("window-value").textContent = `${state.window_us / 1000} ms`;
  const record = $("record");
  record.disabled = !state.can_record;
  record.classList.toggle("active", Boolean(state.recording));
  record.textContent = state.recording ? "Stop recording" : "Record";
  if (!state.can_record) record.title = live ? "start the viewer with --record-dir to record" : "a recording plays back only";
  $("overlay").textContent = state.ended ? "end of recording" : state.paused ? "paused" : "";
}

function drawRate(history, binUs) {
  const chart = $("rate-chart");
  const context = chart.getContext("2d");
  const { width, height } = chart;
  context.clearRect(0, 0, width, height);
  const bins = Math.round(10e6 / binUs);
  const top = Math.max(1, ...history) * 1.15;
  const barWidth = width / bins;
  context.fillStyle = "#ffc43c";
  history.slice(-bins).forEach((rate, index, shown) => {
    const barHeight = (rate / top) * (height - 18);
    context.fillRect(width - (shown.length - index) * barWidth + 1, height - barHeight, barWidth - 2, barHeight);
  });
  context.fillStyle = "#9097a3";
  context.font = "12px system-ui, sans-serif";
  context.fillText(`${formatRate(Math.round(top))} at the top · −10 s … now`, 6, 14);
}

function showNumbers(header) {
  $("rate").textContent = formatRate(header.rate);
  $("dropped-slices").textContent = header.dropped_slices;
  $("dropped-frames").textContent = header.dropped_frames;
  drawRate(header.history, header.bin_us);
  const now = performance.now();
  framesShown.push(now);
  framesShown = framesShown.filter((time) => now - time < 2000);
  $("fps").textContent = (framesShown.length / 2).toFixed(0);
  // Pictures made before a recording stopped may still arrive after the server said it stopped:
  // their progress is no longer news.
  const recording = header.recording && !finishedRecordings.has(header.recording.file) ? header.recording : null;
  $("record-status").textContent = recording
    ? `${recording.file}: ${recording.duration_s.toFixed(1)} s, ${formatBytes(recording.bytes)}` : $("record-status").dataset.last || "";
}

// One picture decodes at a time; a newer one that arrives meanwhile replaces the waiting one.
async function draw(frame) {
  if (drawing) { pending = frame; return; }
  drawing = true;
  try {
    const view = new DataView(frame);
    const length = view.getUint32(0);
    const header = JSON.parse(new TextDecoder().decode(new Uint8Array(frame, 4, length)));
    const picture = await createImageBitmap(new Blob([new Uint8Array(frame, 4 + length)], { type: "image/png" }));
    const canvas = $("picture");
    if (canvas.width !== picture.width || canvas.height !== picture.height) {
      canvas.width = picture.width; canvas.height = picture.height;
    }
    canvas.getContext("2d").drawImage(picture, 0, 0);
    picture.close();
    canvas.dataset.frames = String(Number(canvas.dataset.frames || 0) + 1);
    showNumbers(header);
  } finally {
    drawing = false;
    if (pending) { const next = pending; pending = null; draw(next); }
  }
}

function receive(message) {
  switch (message.type) {
    case "hello":
      live = message.live;
      tools = message.tools;
      $("source").textContent = message.source + (live ? "" : " (settings read-only)");
      $("key").replaceChildren(...Object.entries(message.palette).map(([name, colour]) =>
        element("span", {}, [element("i", { style: `background:${colour}` }), name])));
      for (const id of ["reset-all", "load"]) $(id).disabled = !live;
      $("load-label").classList.toggle("disabled", !live);
      buildTools();
      showSettings(message.settings);
      showState(message.state);
      break;
    case "settings": showSettings(message.settings); break;
    case "state": showState(message.state); break;
    case "refused":
      if (message.request === "set" && message.tool && $(`p-${message.tool}-${message.name}`)) {
        const reason = (message.reasons[0] || "").replace(/^[^:]*: /, "");
        $(`p-${message.tool}-${message.name}`).querySelector(".reason").textContent = `refused: ${reason}`;
      } else {
        setStatus(`Refused, nothing changed:\n${message.reasons.join("\n")}`, true);
      }
      break;
    case "recording": $("record-status").dataset.last = ""; break;
    case "recorded":
      finishedRecordings.add(message.file);
      $("record-status").dataset.last = `saved ${message.file}`;
      $("record-status").textContent = `saved ${message.file}`;
      break;
    case "error": setStatus(message.reason, true); break;
  }
}

function connect() {
  const scheme = location.protocol === "https:" ? "wss" : "ws";
  socket = new WebSocket(`${scheme}://${location.host}${withToken("/ws")}`);
  socket.binaryType = "arraybuffer";
  socket.addEventListener("open", () => { $("connection").textContent = "live"; $("connection").classList.add("on"); });
  socket.addEventListener("message", (event) => {
    if (typeof event.data === "string") receive(JSON.parse(event.data));
    else draw(event.data);
  });
  socket.addEventListener("close", () => {
    $("connection").textContent = "offline"; $("connection").classList.remove("on");
    setTimeout(connect, 2000);
  });
}

$("save").href = withToken("settings.json");
$("pause").addEventListener("click", () => send({ type: "pause", paused: !state.paused }));
$("window").addEventListener("input", () => send({ type: "window", us: WINDOWS_MS[Number($("window").value)] * 1000 }));
$("record").addEventListener("click", () => send({ type: "record", action: state.recording ? "stop" : "start" }));
$("reset-all").addEventListener("click", () => { setStatus(""); send({ type: "reset" }); });
$("load").addEventListener("change", async () => {
  const file = $("load").files[0];
  $("load").value = "";
  if (!file) return;
  let settings;
  try {
    settings = JSON.parse(await file.text());
  } catch (error) {
    setStatus(`${file.name} is not JSON: ${error.message}`, true);
    return;
  }
  setStatus(`loaded ${file.name}`);
  send({ type: "load", settings });
});
connect();
