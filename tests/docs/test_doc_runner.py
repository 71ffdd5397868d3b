"""The doc runner itself: what it reads from a page, and that a block that
does not do what the page says fails."""
from pathlib import Path

from doc_blocks import DEFAULT_BENCH, parse
from test_doc_blocks import compile_cpp, run_on_bench

PAGE = '''# A page

1. A step:

   <!-- doc-test: bench --dongle EMU0 -->
   <!-- doc-test: exit 1 -->
   ```console
   $ orva scan \\
       --address E7E7E7E7E7
   URI  CHANNEL  RATE
   $ false
   ```

<!-- doc-test: skip -->
```python
print("fragment")
```

```sh
make everything
```

~~~python
raise SystemExit(3)
~~~

```text
$ not a command
```
'''


def test_a_page_gives_its_blocks_with_their_marks(tmp_path: Path) -> None:
    page = tmp_path / "page.md"
    page.write_text(PAGE)
    session, fragment, shell, script, text = parse(page)
    assert (session.line, session.tag, session.bench, session.exit) == (7, "console",
                                                                       ("--dongle", "EMU0"), 1)
    assert session.commands() == ["orva scan \\\n    --address E7E7E7E7E7", "false"]
    assert fragment.problems == ["skip needs a reason in parentheses: skip (why)"]
    assert shell.problems and "tag it console" in shell.problems[0]
    assert (script.tag, script.text, script.bench, script.problems) == (
        "python", "raise SystemExit(3)\n", DEFAULT_BENCH, [])
    assert not text.runs and not text.problems


def test_a_block_that_fails_is_reported(tmp_path: Path) -> None:
    page = tmp_path / "page.md"
    page.write_text("```console\n$ orva devices\n$ orva ping usb://0 --count 1 --json\n"
                    "$ orva ping usb://7 --count 1\n$ orva devices\n```\n")
    (block,) = parse(page)
    folder = tmp_path / "run"
    folder.mkdir()
    result = run_on_bench(block, folder)
    assert result.returncode == 99, result.stdout
    assert "doc-test: command 3 exited 1, expected 0" in result.stdout
    assert result.stdout.count("KIND") == 1  # the session stopped there


def test_a_cpp_block_is_compiled_against_the_installed_header_layout(tmp_path: Path) -> None:
    page = tmp_path / "page.md"
    page.write_text("```cpp\n#include <orvalis/Packet.hpp>\n\nquenfold::orvalis::Packet packet;\n"
                    "packet.setPort(1);\n```\n\n```cpp\n#include <orvalis/Packet.hpp>\n"
                    "quenfold::orvalis::Packet packet;\npacket.setPortNumber(1);\n```\n")
    good, bad = parse(page)
    assert good.compiles and compile_cpp(good, tmp_path / "good").returncode == 0
    failed = compile_cpp(bad, tmp_path / "bad")
    assert failed.returncode != 0 and "setPortNumber" in failed.stderr
