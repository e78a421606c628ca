#!/usr/bin/env python3
"""Builds PelagoXcon.html: the built site as one file that opens from disk.

    one_file_page.py SITE_DIR OUTPUT

The style sheet and every script are inlined, the ES modules joined into one
module script (each module in its own function scope, in the order the
browser would evaluate them), the images turned into data: URLs and the
WebAssembly module handed to the glue as `wasmBinary`, so that the page
fetches nothing. The page's policy allows exactly the inline script and
style it holds, by their SHA-256 hashes. Any reference this script does not
know how to inline fails the build rather than ship a page that breaks.
"""
import base64
import hashlib
import html
import os
import re
import sys

MAX_BYTES = 1048576
MODULE_GLUE = "pelago.js"
WASM_FILE = "pelago.wasm"
IMAGE_TYPES = {".svg": "image/svg+xml", ".png": "image/png"}
# Links a page opened from disk has no use for: an installed site's manifest.
DROPPED_LINKS = {"manifest"}

IMPORT = re.compile(r"^import\s+(?:(?P<what>[\w$*{}\s,]+?)\s+from\s+)?"
                    r"(?P<q>['\"])\./(?P<file>[\w.-]+)(?P=q)\s*;?", re.M | re.S)
EXPORT_DECLARATION = re.compile(
    r"^export\s+(?P<kind>(?:async\s+)?function\s*\*?|class|const|let|var)\s+(?P<name>[\w$]+)", re.M)
EXPORT_LIST = re.compile(r"^export\s*\{(?P<names>[^}]*)\}\s*;?", re.M)
EXPORT_DEFAULT = re.compile(r"^export\s+default\s+", re.M)
LEFT_OVER = re.compile(r"^\s*(?:import\s*[\w{*'\"]|export\b)|\bimport\s*\(", re.M)


class PageError(Exception):
    pass


def read(site, name, mode="r"):
    path = os.path.join(site, name)
    if not os.path.isfile(path):
        raise PageError(f"{path}: referenced by the page but not built")
    with open(path, mode) as f:
        return f.read()


def bindings(what, module_var):
    """`import WHAT from` as const declarations reading module_var."""
    what = (what or "").strip()
    lines = []
    named = re.search(r"\{([^}]*)\}", what)
    rest = re.sub(r"\{[^}]*\}", "", what).strip().strip(",").strip()
    if rest.startswith("* as "):
        lines.append(f"const {rest[5:].strip()} = {module_var};")
    elif rest:
        lines.append(f"const {rest} = {module_var}.default;")
    if named:
        parts = []
        for item in filter(None, (p.strip() for p in named.group(1).split(","))):
            source, _, local = item.partition(" as ")
            parts.append(f"{source.strip()}: {local.strip()}" if local else source)
        lines.append(f"const {{ {', '.join(parts)} }} = {module_var};")
    return " ".join(lines)


def module_var(name):
    return "__module_" + re.sub(r"\W", "_", name)


def wrapped(name, source):
    """The module as an async function scope returning its exports as
    getters (so a later assignment is still seen), and the files it imports."""
    imports = []

    def take_import(match):
        imports.append(match.group("file"))
        return bindings(match.group("what"), module_var(match.group("file")))

    body = IMPORT.sub(take_import, source)
    exported = []

    def take_declaration(match):
        exported.append((match.group("name"), match.group("name")))
        return match.group("kind") + " " + match.group("name")

    def take_list(match):
        for item in filter(None, (p.strip() for p in match.group("names").split(","))):
            local, _, public = item.partition(" as ")
            exported.append((public.strip() or local.strip(), local.strip()))
        return ""

    body = EXPORT_DECLARATION.sub(take_declaration, body)
    body = EXPORT_LIST.sub(take_list, body)
    if EXPORT_DEFAULT.search(body):
        body = EXPORT_DEFAULT.sub("const __default = ", body, count=1)
        exported.append(("default", "__default"))
    left = LEFT_OVER.search(body)
    if left:
        line = body.count("\n", 0, left.start()) + 1
        raise PageError(f"{name}:{line}: an import or export this page builder cannot inline")
    getters = ", ".join(f"get {public}() {{ return {local}; }}" for public, local in exported)
    code = (f"const {module_var(name)} = await (async () => {{\n{body}\n"
            f"return Object.freeze({{ {getters} }});\n}})();\n")
    return code, imports


def glue_module(source, wasm):
    """The emscripten glue, its factory always handed the module's bytes
    (base64 text `wasm`), so that it never fetches them."""
    if not EXPORT_DEFAULT.search(source):
        raise PageError(f"{MODULE_GLUE}: no default export (is it built with EXPORT_ES6?)")
    source = EXPORT_DEFAULT.sub("const __glueFactory = ", source, count=1)
    return (source + "\nconst __wasmBinary = Uint8Array.from(atob('" + wasm +
            "'), (c) => c.charCodeAt(0));\n"
            "export default (options = {}) => __glueFactory({ ...options, wasmBinary: __wasmBinary });\n")


def joined_modules(site, entry):
    """One module's text holding `entry` and everything it imports, each
    module evaluated once, dependencies first, as the browser orders them."""
    order, state = [], {}

    def visit(name, chain):
        if state.get(name) == "done":
            return
        if state.get(name) == "visiting":
            raise PageError("modules import each other: " + " -> ".join(chain + [name]))
        state[name] = "visiting"
        source = glue_module(read(site, MODULE_GLUE), wasm_text(site)) if name == MODULE_GLUE \
            else read(site, name)
        code, imports = wrapped(name, source)
        for dependency in imports:
            visit(dependency, chain + [name])
        state[name] = "done"
        order.append(code)

    visit(entry, [])
    return "".join(order)


def wasm_text(site):
    return base64.b64encode(read(site, WASM_FILE, "rb")).decode("ascii")


def data_url(site, name):
    kind = IMAGE_TYPES.get(os.path.splitext(name)[1])
    if not kind:
        raise PageError(f"{name}: not an image this page builder can inline")
    return f"data:{kind};base64," + base64.b64encode(read(site, name, "rb")).decode("ascii")


def sha256(text):
    return "'sha256-" + base64.b64encode(hashlib.sha256(text.encode()).digest()).decode() + "'"


def attribute(tag, name):
    found = re.search(r"\s" + name + r"\s*=\s*\"([^\"]*)\"", tag)
    return html.unescape(found.group(1)) if found else None


def is_local(reference):
    return not re.match(r"^(?:data:|#|[a-z][\w+.-]*:)", reference)


def one_file(site):
    page = read(site, "index.html")
    scripts, styles = [], []

    def script(match):
        tag = match.group(0)
        source = attribute(tag, "src")
        if source is None or not is_local(source):
            raise PageError(f"a script this page builder cannot inline: {tag.split('>')[0]}>")
        if attribute(tag, "type") == "module":
            code = joined_modules(site, source)
            opening = '<script type="module">'
        else:
            code = read(site, source)
            opening = "<script>"
        if "</script" in code.lower():
            raise PageError(f"{source}: holds a closing script tag")
        scripts.append(code)
        return opening + code + "</script>"

    def link(match):
        tag = match.group(0)
        relation, target = attribute(tag, "rel"), attribute(tag, "href")
        if relation in DROPPED_LINKS:
            return ""
        if relation == "stylesheet" and target and is_local(target):
            styles.append(read(site, target))
            return "<style>" + styles[-1] + "</style>"
        if target and is_local(target):
            return tag.replace(f'href="{target}"', f'href="{data_url(site, target)}"')
        return tag

    def image(match):
        tag = match.group(0)
        source = attribute(tag, "src")
        if source and is_local(source):
            return tag.replace(f'src="{source}"', f'src="{data_url(site, source)}"')
        return tag

    page = re.sub(r"<script\b[^>]*>\s*</script>", script, page)
    page = re.sub(r"<link\b[^>]*>", link, page)
    page = re.sub(r"<img\b[^>]*>", image, page)
    policy = ("default-src 'none'; script-src " + " ".join(sha256(s) for s in scripts) +
              " 'wasm-unsafe-eval'; style-src " + " ".join(sha256(s) for s in styles) +
              "; img-src data:; connect-src 'none'; object-src 'none'; base-uri 'none'; "
              "form-action 'none'")
    page, count = re.subn(r'(<meta\s+http-equiv="Content-Security-Policy"\s+content=")[^"]*(")',
                          lambda m: m.group(1) + policy + m.group(2), page)
    if count != 1:
        raise PageError("index.html: no Content-Security-Policy to replace")
    return page


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    site, output = argv[1], argv[2]
    try:
        page = one_file(site).encode()
        if len(page) > MAX_BYTES:
            raise PageError(f"{output}: {len(page)} bytes, more than the {MAX_BYTES} a page may be")
    except PageError as error:
        print(f"one_file_page.py: {error}", file=sys.stderr)
        return 1
    partial = output + ".part"
    with open(partial, "wb") as f:
        f.write(page)
    os.replace(partial, output)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
