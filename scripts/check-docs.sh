#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The documentation against the code: every text of prose the library and
# zor-resolve can print (their string literals with a letter and a space, the
# usage text aside) stands on docs/messages.md, white space aside; and every
# Mermaid block in README.md and docs/ parses with Mermaid's own parser.
# Fails naming each text missing and each block that does not parse.
set -euo pipefail
cd "$(dirname "$0")/.."

page=$(tr -s ' \n\t' '   ' <docs/messages.md)
missing=0
while IFS= read -r text; do
    [[ $page == *"$text"* ]] || { echo "messages: not on docs/messages.md: $text"; missing=1; }
done < <(perl -ne '
    $usage = 1 if /kUsageText =/;
    if ($usage) { $usage = 0 if /;\s*$/; next; }
    next if m{^\s*//};
    while (/"((?:[^"\\]|\\.)*)"/g) {
        my $text = $1;
        $text =~ s/\\[nt]/ /g; $text =~ s/\\(.)/$1/g;
        $text =~ s/^\s+|\s+$//g; $text =~ s/\s+/ /g;
        $text =~ s/^(zorclient|zor-resolve): //;
        print "$text\n" if $text =~ /[a-z]/ && $text =~ / /;
    }' core/*.cpp core/*.h core/platform/*.h exports/*.cpp tools/zor_resolve.cpp | sort -u)
[[ $missing -eq 0 ]] || exit 1
echo "messages: every message the code can print is on docs/messages.md"

# Mermaid's own parser, from the npm registry, kept outside the project.
# --install-parser installs it when missing; without it a missing parser is
# said and the blocks go unparsed.
parser=${XDG_CACHE_HOME:-$HOME/.cache}/zorclient/mermaid-parser
if [[ ${1:-} == --install-parser ]] && ! cmp -s scripts/mermaid/package.json "$parser/package.json"; then
    rm -rf "$parser"
    mkdir -p "$parser"
    cp scripts/mermaid/package.json "$parser/"
    (cd "$parser" && npm install --silent --no-package-lock --no-audit --no-fund >/dev/null)
fi
if [[ ! -d $parser/node_modules/mermaid ]]; then
    echo "mermaid: the parser is not installed (bash scripts/check-docs.sh --install-parser); blocks not parsed"
    exit 0
fi
pages=(README.md docs/*.md)
cp scripts/mermaid/parse.mjs "$parser/"  # its imports resolve from where it lies
node "$parser/parse.mjs" "${pages[@]}"
