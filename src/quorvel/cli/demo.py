"""``quorvel demo``: a scripted model on a loopback server asks for a real tool."""

from __future__ import annotations

import argparse
import json
import re
import sys
import time
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from rich.console import Console

from quorvel.cli.loading import native, signature_text
from quorvel.cli.printing import Printer
from quorvel.cli.text import CliError
from quorvel.cli.turn import run_turn

if TYPE_CHECKING:
    from quorvel.testing import RecordedRequest, Reply


_DEMO_QUESTION = "What's the weather in Paris right now? Should I take an umbrella?"
_DEMO_CALL_ID = "call_weather_1"

_WEATHER = {
    "paris": (14, "light rain", 80),
    "london": (11, "overcast", 70),
    "tokyo": (22, "clear", 45),
}


def get_weather(city: str, unit: str = "celsius") -> dict[str, Any]:
    """Current weather for a city: temperature, conditions and humidity.

    unit is "celsius" or "fahrenheit".
    """
    temperature, conditions, humidity = _WEATHER.get(city.strip().lower(), (18, "sunny", 50))
    if unit == "fahrenheit":
        temperature = round(temperature * 9 / 5 + 32)
    return {
        "city": city,
        "temperature": temperature,
        "unit": unit,
        "conditions": conditions,
        "humidity_percent": humidity,
    }


def _words(text: str) -> list[str]:
    """Split text into stream-sized pieces that join back to the text."""
    return re.findall(r"\S+\s*|\s+", text)


def _demo_replies(delay: float) -> list[Callable[[RecordedRequest], Reply]]:
    from quorvel.testing import Reply, role_chunk, sse_body, text_chunk, tool_call_chunk, finish_chunk

    def lines(chunks: list[dict[str, Any]]) -> Reply:
        return Reply.raw_lines(sse_body(chunks).split(b"\n")[:-1], delay=delay)

    def ask_for_tool(request: RecordedRequest) -> Reply:
        offered = [t.get("function", {}).get("name") for t in (request.json or {}).get("tools", [])]
        thought = "The user wants the current weather in Paris. I can't know that myself"
        thought += ", but the get_weather tool can look it up." if "get_weather" in offered else "."
        arguments = json.dumps({"city": "Paris", "unit": "celsius"})
        chunks = [role_chunk()]
        chunks += [text_chunk(reasoning=piece) for piece in _words(thought)]
        chunks.append(tool_call_chunk(0, _DEMO_CALL_ID, "get_weather"))
        chunks += [tool_call_chunk(0, arguments=arguments[i : i + 12]) for i in range(0, len(arguments), 12)]
        chunks.append(finish_chunk("tool_calls"))
        return lines(chunks)

    def answer(request: RecordedRequest) -> Reply:
        messages = (request.json or {}).get("messages", [])
        result = next((m for m in reversed(messages) if m.get("role") == "tool"), None)
        try:
            weather = json.loads(result["content"]) if result else None
            degrees = "°C" if weather["unit"] == "celsius" else "°F"
            thought = f"The tool says {weather['conditions']} at {weather['temperature']}{degrees}. Rain means umbrella."
            text = (
                f"It's {weather['temperature']}{degrees} in {weather['city']} with {weather['conditions']} "
                f"(humidity {weather['humidity_percent']}%). "
            )
            rainy = "rain" in weather["conditions"]
            text += "Yes, take an umbrella." if rainy else "You can leave the umbrella at home."
        except (KeyError, TypeError, ValueError):
            thought = "The tool result did not come back."
            text = "Sorry, I could not look up the weather."
        chunks = [role_chunk()]
        chunks += [text_chunk(reasoning=piece) for piece in _words(thought)]
        chunks += [text_chunk(piece) for piece in _words(text)]
        chunks.append(finish_chunk("stop"))
        return lines(chunks)

    return [ask_for_tool, answer]


def cmd_demo(args: argparse.Namespace) -> int:
    if args.delay < 0:
        raise CliError("--delay must not be negative")
    LLModal = native("modal").LLModal
    tools = native("tools").Tools()
    tools.register(get_weather)
    from quorvel.testing import ChatServer

    console = Console(file=sys.stdout, highlight=False)
    printer = Printer(console, answer_label="assistant: ")
    with ChatServer() as server:
        server.add(*_demo_replies(args.delay))
        model = LLModal(
            endpoint_url=server.url,
            system_prompt="You are a helpful assistant. Use the tools when they help.",
            extra_body={"model": "scripted-demo", "stream": True},
            tools=tools,
        )
        console.print(f"quorvel demo: a scripted model on {server.url}", style="dim", soft_wrap=True, markup=False)
        console.print(f"tools: get_weather({signature_text(get_weather)})", style="dim", markup=False)
        console.print("you: ", style="bold green", end="", markup=False)
        console.print(_DEMO_QUESTION, markup=False)
        started = time.monotonic()
        outcome = run_turn(model, _DEMO_QUESTION, printer)
        if outcome == "stopped":
            raise CliError("interrupted")
        if outcome is not None:
            raise CliError(outcome)
        elapsed = time.monotonic() - started
        roles = []
        for message in model.messages:
            role = str(message.role)
            roles.append(f"{role} (tool calls)" if message.tool_calls else role)
        console.print(
            f"\n{len(server.requests)} requests in {elapsed:.1f}s; history: {', '.join(roles)}",
            style="dim",
            soft_wrap=True,
            markup=False,
        )
    return 0

