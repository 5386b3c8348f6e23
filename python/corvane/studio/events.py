"""Events pushed to the pages over server-sent events. Worker threads publish; each open page holds
a queue on the server's event loop. The newest event of each topic is kept, so a page opened later
starts from the current state."""
import asyncio
import json
import math
import threading

from starlette.responses import StreamingResponse

QUEUE_LIMIT = 2000      # a page this far behind loses events rather than the server its memory
KEEPALIVE_S = 15.0


class EventBus:
    def __init__(self):
        self._lock = threading.Lock()
        self._subscribers = set()   # (loop, queue)
        self.latest = {}            # topic -> newest event of it

    def publish(self, topic, /, **event):
        # topic is positional only: an event passed back in (it carries its "topic") cannot clash with it.
        event["topic"] = topic
        with self._lock:
            self.latest[topic] = event
            subscribers = list(self._subscribers)
        for loop, queue in subscribers:
            try:
                loop.call_soon_threadsafe(_offer, queue, event)
            except RuntimeError:   # that loop has closed
                pass

    def reset(self, topic, forget, **event):
        """Publishes `event` after dropping the newest event of each topic in `forget`, so a page
        opened later is not shown them; the event names them (as "forget") for the pages' own caches."""
        with self._lock:
            for name in forget:
                self.latest.pop(name, None)
        self.publish(topic, forget=list(forget), **event)

    def subscribe(self):
        queue = asyncio.Queue(QUEUE_LIMIT)
        entry = (asyncio.get_running_loop(), queue)
        with self._lock:
            self._subscribers.add(entry)
            for event in self.latest.values():
                queue.put_nowait(event)
        return entry

    def unsubscribe(self, entry):
        with self._lock:
            self._subscribers.discard(entry)


def _offer(queue, event):
    try:
        queue.put_nowait(event)
    except asyncio.QueueFull:
        pass


def encode(event):
    """JSON for the page: NaN and infinities (which JSON lacks) become null."""
    try:
        return json.dumps(event, allow_nan=False, default=str)
    except ValueError:
        return json.dumps(_finite(event), allow_nan=False, default=str)


def _finite(value):
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(v) for v in value]
    return value


def event_stream(bus):
    """A Starlette endpoint streaming every event as `data: <json>` lines."""

    async def endpoint(request):
        entry = bus.subscribe()

        async def lines():
            try:
                while True:
                    try:
                        event = await asyncio.wait_for(entry[1].get(), KEEPALIVE_S)
                    except asyncio.TimeoutError:
                        yield ": keep-alive\n\n"
                        continue
                    yield f"data: {encode(event)}\n\n"
            finally:
                bus.unsubscribe(entry)

        return StreamingResponse(lines(), media_type="text/event-stream",
                                 headers={"Cache-Control": "no-store", "X-Accel-Buffering": "no"})

    return endpoint
