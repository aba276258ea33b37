"""HTTPS stand-in for the two citizen-science networks the hand-offs post to.

Tests must never reach the real servers, so this answers as they do; each rule
cites the server code it follows:
  sensor.community  github.com/opendata-stuttgart/feinstaub-api (Django REST framework)
  openSenseMap      github.com/sensebox/openSenseMap-API (restify)
"""
import collections
import contextlib
import datetime
import json
import math
import re
import socket
import ssl
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

SC_PATH = "/v1/push-sensor-data/"  # feinstaub/sensors/urls.py: router.register('push-sensor-data') under /v1/
# the particulate-matter value types (P0 = PM1, P1 = PM10, P2 = PM2.5) of
# SENSOR_TYPE_CHOICES in feinstaub/sensors/models.py; the others are not ours
SC_VALUE_TYPES = ("P0", "P1", "P2")
OSM_PATH = re.compile(r"/boxes/([^/]*)/data/?")
# box and sensor ids are MongoDB ObjectIds, 24 hex digits (validUnsecuredPathRegex in
# packages/api/lib/helpers/apiUtils.js); idCheck in .../userParamHelpers.js also refuses 0011..aabb
OSM_ID = re.compile(r"(?!00112233445566778899aabb$)[0-9a-fA-F]{24}")
UTC = datetime.timezone.utc


class _Answer(Exception):
    """Ends a request: status, body (JSON unless bytes), reason recorded when refused."""
    def __init__(self, status, body, message="", ctype="application/json"):
        super().__init__(message)
        self.status, self.body, self.message, self.ctype = status, body, message, ctype


def _drf(status, detail, message=None):  # Django REST framework: {"detail": ...} or field errors
    body = {"detail": detail} if isinstance(detail, str) else detail
    return _Answer(status, body, message or str(detail))


def _restify(status, code, message):  # restify-errors, passed on by packages/api/lib/helpers/errorHandler.js
    return _Answer(status, {"code": code, "message": message}, message)


def _json(body):
    try:
        return json.loads(body), None
    except ValueError as err:
        return None, err


def _timestamp(text):
    """createdAt read as packages/models/src/utils.js parseTimestamp does: YYYY-MM-DDTHH:MM:SS[.f]Z,
    UTC only; a fraction of up to 3 digits is milliseconds as written, a longer one nanoseconds."""
    m = re.fullmatch(r"(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)(?:\.(\d+))?Z", str(text).upper())
    try:
        ms = int(m[7] or 0) if len(m[7] or "") <= 3 else int(m[7]) / 1e6
        return datetime.datetime(*map(int, m.groups()[:6]), int(ms * 1000), UTC)
    except (TypeError, ValueError):
        return None


def _is_number(v):  # validators.js isNumber: !isNaN(parseFloat(n)) && isFinite(n)
    try:
        return not isinstance(v, bool) and "_" not in str(v) and math.isfinite(float(v))
    except (TypeError, ValueError):
        return False


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive; every answer carries Content-Length

    def log_message(self, *args):
        pass

    def do_POST(self):
        standin, arrived = self.server.standin, time.time()
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length > 0 else b""
        path = self.path.split("?", 1)[0]
        osm = path.startswith("/boxes")
        rec = {"network": "opensensemap" if osm else "sensor.community", "status": 0, "message": "",
               "time": arrived, "source": self.client_address[0]}
        try:
            (standin._opensensemap if osm else standin._sensor_community)(self, path, body, rec)
        except _Answer as answer:
            if answer.status == 0:  # held in "silent" mode, released by stop(): no answer
                self.close_connection = True
                return
            rec["status"], rec["message"] = answer.status, answer.message
            data = answer.body if isinstance(answer.body, bytes) else json.dumps(answer.body, separators=(",", ":")).encode()
            standin._record(rec)
            self.send_response(answer.status)
            self.send_header("Content-Type", answer.ctype)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

    do_GET = do_PUT = do_DELETE = do_PATCH = do_POST


class _Server(ThreadingHTTPServer):
    daemon_threads, block_on_close = True, False

    def __init__(self, standin):
        self.standin, self.conns, self.closing = standin, set(), threading.Event()
        super().__init__(("127.0.0.1", standin.port), _Handler, bind_and_activate=False)
        self.server_bind()  # bound but not listening: connections are refused until start()

    def finish_request(self, request, client_address):
        # the TLS handshake runs in the connection's own thread: a stalled client stalls only itself
        conn = self.standin._context.wrap_socket(request, server_side=True, do_handshake_on_connect=False)
        self.conns.add(conn)
        try:
            conn.do_handshake()
            self.RequestHandlerClass(conn, client_address, self)
        finally:
            self.conns.discard(conn)
            self.shutdown_request(conn)

    def handle_error(self, request, client_address):
        pass  # resets and failed handshakes are the client's business


class StandIn:
    """Both networks on one HTTPS port of 127.0.0.1, told apart by path."""
    # openSenseMap's proxy lets each address POST to /boxes... 15 times a minute, then
    # answers 429: maintainer in github.com/sensebox/openSenseMap-API/issues/187 (2021-03-01)
    OSM_RATE_LIMIT, OSM_RATE_WINDOW = 15, 60.0

    def __init__(self, certfile, keyfile, nodes=(), boxes=None, port=0):
        self._context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self._context.load_cert_chain(certfile, keyfile)
        self.nodes, self.boxes, self.mode, self.port = set(nodes), dict(boxes or {}), "answer", port
        self._lock, self._records, self._thread = threading.Lock(), [], None
        self._posts = collections.defaultdict(collections.deque)  # address -> times of admitted POSTs
        self._server = _Server(self)
        self.port = self._server.server_address[1]

    def start(self):
        if not self._thread:
            self._server = self._server or _Server(self)
            self._server.server_activate()
            self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,), daemon=True)
            self._thread.start()

    def stop(self):
        server, thread, self._server, self._thread = self._server, self._thread, None, None
        if server:
            server.closing.set()  # releases the requests held in "silent" mode
            if thread:
                server.shutdown()
                thread.join()
            server.server_close()
            for conn in list(server.conns):
                with contextlib.suppress(OSError):
                    conn.shutdown(socket.SHUT_RDWR)

    def take(self):
        with self._lock:
            records, self._records = self._records, []
        return records

    def _record(self, rec):
        with self._lock:
            self._records.append(rec)

    def _mode(self, req, rec, unavailable):
        if self.mode == "silent":  # read it all, answer nothing until stop()
            rec["message"] = "not answered (silent)"
            self._record(rec)
            req.server.closing.wait()
            raise _Answer(0, b"")
        if self.mode == "error":  # database down
            raise unavailable

    def _sensor_community(self, req, path, body, rec):
        # feinstaub/sensors/authentication.py NodeUidAuthentication: the node is the one whose uid
        # is X-Sensor (or Sensor, Node) as sent, e.g. "raspi-<serial>"; the pin is X-Pin (or Pin), else "-"
        node = req.headers.get("X-Sensor") or req.headers.get("Sensor") or req.headers.get("Node")
        pin = req.headers.get("X-Pin") or req.headers.get("Pin") or "-"
        raw, err = _json(body)
        data = raw if isinstance(raw, dict) else {}
        values = data.get("sensordatavalues")
        rec.update(node=node, pin=pin, software_version=data.get("software_version"),
                   values={v.get("value_type"): v.get("value") for v in values or () if isinstance(v, dict)})
        self._mode(req, rec, _drf(503, "Service temporarily unavailable, try again later."))  # DRF ServiceUnavailable
        if path != SC_PATH:  # Django's page for an unrouted path
            raise _Answer(404, b"<h1>Not Found</h1><p>The requested resource was not found on this server.</p>",
                          "Not Found", "text/html")
        # same file; its tests (feinstaub/sensors/tests/test_authenticator.py) expect the 403
        if node and node not in self.nodes:
            raise _drf(403, "Node not found in database.")
        if req.command != "POST":  # feinstaub/sensors/views.py PostSensorDataView: create only
            raise _drf(405, f'Method "{req.command}" not allowed.')
        ctype = req.headers.get("Content-Type", "").split(";")[0].strip()
        if ctype != "application/json":  # DRF's JSON parser (its form parsers are left out here)
            raise _drf(415, f'Unsupported media type "{ctype}" in request.')
        if err:
            raise _drf(400, f"JSON parse error - {err}")
        # feinstaub/sensors/serializers.py SensorDataSerializer: a list of {value, value_type};
        # value is a text field, value_type one of the choices. The server turns numbers into
        # text; here values must already be strings, as the network stores and serves them
        if not isinstance(raw, dict):
            raise _drf(400, {"non_field_errors": [f"Invalid data. Expected a dictionary, but got {type(raw).__name__}."]})
        if not isinstance(values, list):
            raise _drf(400, {"sensordatavalues": ["This field is required." if values is None else
                                                  f'Expected a list of items but got type "{type(values).__name__}".']})
        errors = [{"non_field_errors": ["Invalid data."]} if not isinstance(v, dict) else
                  {**({} if isinstance(v.get("value"), str) else {"value": ["Not a valid string."]}),
                   **({} if v.get("value_type") in SC_VALUE_TYPES else
                      {"value_type": [f'"{v.get("value_type")}" is not a valid choice.']})} for v in values]
        if any(errors):
            raise _drf(400, {"sensordatavalues": errors}, "invalid sensordatavalues")
        if not node:  # serializers.py create(): NotAuthenticated, 403 as the authenticator sends no challenge
            raise _drf(403, "Authentication credentials were not provided.")
        if not values:  # serializers.py create()
            raise _drf(400, ["sensordatavalues was empty. Nothing to save."], "sensordatavalues was empty")
        if pin != "1":  # serializers.py create() picks the node's sensor by pin: ours sits on pin 1
            raise _drf(400, ["sensor could not be selected."], "sensor could not be selected (X-Pin is not 1)")
        raise _Answer(201, {"sensor": 1, "sampling_rate": data.get("sampling_rate"),
                            "timestamp": datetime.datetime.now(UTC).isoformat().replace("+00:00", "Z"),
                            "sensordatavalues": [dict(v, sensordata=1) for v in values],
                            "software_version": data.get("software_version") or ""})

    def _opensensemap(self, req, path, body, rec):
        match = OSM_PATH.fullmatch(path)
        ctype = req.headers.get("Content-Type", "").split(";")[0].strip().lower()
        data, err = _json(body) if ctype == "application/json" else (None, None)  # app.js jsonBodyParser
        rec.update(box=match and match[1], measurements=[
            (m.get("sensor", m.get("sensor_id")), m.get("value"), m.get("createdAt"))
            for m in (data if isinstance(data, list) else ()) if isinstance(m, dict)])
        self._mode(req, rec, _restify(503, "ServiceUnavailable", "Service Unavailable"))
        if req.command == "POST":  # the proxy's rate limit comes first (see OSM_RATE_LIMIT)
            now, times = time.time(), self._posts[rec["source"]]
            while times and times[0] <= now - self.OSM_RATE_WINDOW:
                times.popleft()
            if len(times) >= self.OSM_RATE_LIMIT:
                raise _Answer(429, b"429 Too Many Requests", "Too Many Requests", "text/plain; charset=utf-8")
            times.append(now)
        if not match:  # restify: no route
            raise _restify(404, "ResourceNotFound", f"{path} does not exist")
        if req.command != "POST":  # packages/api/lib/routes.js: /boxes/:boxId/data takes POST only
            raise _restify(405, "MethodNotAllowed", f"{req.command} is not allowed")
        if err:
            raise _restify(400, "InvalidContent", f"Invalid JSON: {err}")
        # then packages/api/lib/controllers/measurementsController.js postNewMeasurements, in order
        if not OSM_ID.fullmatch(match[1]):  # retrieveParameters boxId, userParamHelpers.js
            raise _restify(422, "UnprocessableEntity", "Parameter boxId is not parseable as datatype id")
        if ctype != "application/json":  # only JSON here; the server also decodes CSV and bytes
            raise _restify(415, "UnsupportedMediaType", "Unsupported content-type.")
        if match[1] not in self.boxes:  # packages/models/src/box/box.js findBoxById
            raise _restify(404, "NotFound", "Box not found")
        token, sensors = self.boxes[match[1]]
        # the Authorization header must equal the box's access token as is: no "Bearer"
        if token is not None and req.headers.get("Authorization") != token:
            raise _restify(401, "Unauthorized", "Box access token not valid!")
        if not isinstance(data, list):  # the server would read a JSON object as {sensorId: value}
            raise _restify(422, "UnprocessableEntity", "Cannot save empty or invalid measurements.")
        self._osm_validate(data)
        for m in reversed(data):  # box.js saveMeasurementsArray, last to first
            if m["sensor_id"] not in sensors:
                raise _restify(400, "BadRequest",
                               f"Measurement for sensor with id {m['sensor_id']} does not belong to box")
        # 201 with a JSON string body, as tests/tests/006-submit-measurements-test.js expects
        raise _Answer(201, "Measurements saved in box")

    @staticmethod
    def _osm_validate(data):
        # packages/models/src/measurement/decoding/validators.js transformAndValidateMeasurements;
        # measurement.js decodeMeasurements answers its errors with 422
        def refuse(text):
            raise _restify(422, "UnprocessableEntity", text)
        if not data:
            refuse("Cannot save empty or invalid measurements.")
        if len(data) > 2500:
            refuse("Too many measurements. Please submit at most 2500 measurements at once.")
        latest = datetime.datetime.now(UTC) + datetime.timedelta(minutes=1)
        for i, m in enumerate(data):
            m = dict(m) if isinstance(m, dict) else {}
            if "sensor_id" not in m and m.get("sensor"):  # "sensor" is read as "sensor_id"
                m["sensor_id"] = str(m["sensor"]).strip()
            m.pop("sensor", None)
            data[i], sid, shown = m, m.get("sensor_id"), f" in measurement {json.dumps(m, separators=(',', ':'))}"
            if sid in (None, ""):
                refuse("Missing sensor id" + shown)
            if not isinstance(sid, str) or not OSM_ID.fullmatch(sid):
                refuse("Invalid sensor id" + shown)
            if m.get("value", "") == "":
                refuse("Missing value" + shown)
            if not _is_number(m["value"]):  # a number or a string holding one
                refuse("Invalid value" + shown)
            when = _timestamp(m["createdAt"]) if "createdAt" in m else None
            if "createdAt" in m and when is None:
                refuse(f"Invalid timestamp '{m['createdAt']}'." + shown)
            if when and when > latest:
                iso = when.strftime("%Y-%m-%dT%H:%M:%S.") + f"{when.microsecond // 1000:03d}Z"
                refuse(f"Timestamp {iso} is too far into the future." + shown)
