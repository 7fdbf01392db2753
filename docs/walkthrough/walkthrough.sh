#!/usr/bin/env bash
# Walks through the window as a new user would, under an X server with a window manager, and keeps
# a screenshot of each step. Run it inside Xvfb:
#
#   xvfb-run -a -s "-screen 0 1280x800x24" docs/walkthrough/walkthrough.sh QUILLMORNE WORKDIR [SHOTS]
#
# QUILLMORNE is the program to run (an installed copy: its settings then go to the per-user
# configuration folder below WORKDIR/home), WORKDIR an empty scratch folder, SHOTS the folder for
# the screenshots (default: the folder of this script). Needs openbox, xdotool and ImageMagick.
# Control positions are relative to the window, so the window manager may place it anywhere.
set -euo pipefail

program=$(readlink -f "$1")
work=$(readlink -f "$2")
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
shots=$(readlink -f "${3:-$here}")
mkdir -p "$work" "$shots"
cd "$work"

export HOME="$work/home" XDG_CONFIG_HOME="" XDG_RUNTIME_DIR=""
mkdir -p "$HOME"

# The sample: comma-separated texts, one of them in a sub-folder, one with a byte-order mark.
mkdir -p source/分公司/华东 save many many-out
sed 's/\t/,/g' "$repo/examples/价格表_utf8_bom.txt" > source/价格表.txt
sed 's/\t/,/g' "$repo/examples/分公司/华东/城市.txt" > source/分公司/华东/城市.txt
printf '日期,门店,商品,数量,金额\r\n2024-03-01,东门店,苹果,12,66.00\r\n2024-03-01,西门店,香蕉,30,45.50\r\n2024-03-02,东门店,橙子,8,31.20\r\n' > source/销售.txt

openbox >openbox.log 2>&1 &
wm=$!
sleep 1

shot() { sleep 0.8; import -window root "$shots/$1.png"; echo "screenshot $1"; }
window() { xdotool search --sync --onlyvisible --name '^Quillmorne4\.0$' | head -1; }
click() { xdotool mousemove --window "$1" "$2" "$3" click 1; }
# Picks a folder in the folder dialog: types its full path into the name field (the dialog opens at
# the folder in the field, or the home folder), then presses "选择" (the first click closes the
# completion list).
pick() {
    local dialog
    dialog=$(xdotool search --sync --onlyvisible --name '^选择文件夹$' | head -1)
    xdotool type --delay 50 "$work/$1"
    shot "$2"
    click "$dialog" 578 361
    sleep 0.5
    if xdotool search --onlyvisible --name '^选择文件夹$' >/dev/null; then click "$dialog" 578 361; fi
}
start() {
    "$program" >"app-$1.log" 2>&1 &
    app=$!
    main=$(window)
    sleep 1
}
quit() {
    xdotool windowactivate --sync "$main" key alt+F4
    local status=0
    wait "$app" || status=$?
    echo "program ended with status $status"
    [ "$status" -eq 0 ]
}

# 1. First start: nothing chosen yet.
start first
shot 01-first-start
# 2. Source folder.
click "$main" 99 180
pick source 02-source-dialog
shot 03-source-picked
# 3. Save folder.
click "$main" 99 225
pick save 04-save-dialog
shot 05-save-picked
# 4. Comma and .xls.
click "$main" 262 92
click "$main" 680 225
shot 06-comma-and-xls
# 5. Convert; the red status line ends with the summary.
click "$main" 877 225
for _ in $(seq 50); do grep -q '^xlsxMode=n' "$HOME/.config/Quillmorne/Quillmorne.vqd" && [ -f save/销售.xls ] && break; sleep 0.2; done
shot 07-converted
# 6. Quit.
quit
echo "settings file: $HOME/.config/Quillmorne/Quillmorne.vqd"
cat -A "$HOME/.config/Quillmorne/Quillmorne.vqd"
for book in save/销售.xls save/价格表.xls save/分公司/华东/城市.xls; do
    echo "$book: $(/usr/bin/python3 "$repo/tests/tools/readbook.py" "$book" | head -c 400)"
done

# 7. Restart: folders, comma and .xls are back.
start second
shot 08-restarted
quit

# 8. Closing the window during a long run: it stops after the file in progress and ends cleanly.
seq 20000 | sed 's/.*/&,text &,&.5/' > many/file001.txt
for i in $(seq -w 2 200); do cp many/file001.txt "many/file$i.txt"; done
start third
click "$main" 99 180
pick many 09-many-dialog
click "$main" 99 225
pick many-out 10-many-out-dialog
click "$main" 877 225
until ls many-out/*.xls >/dev/null 2>&1; do sleep 0.05; done
import -window root "$shots/11-long-run.png"
quit
echo "workbooks written before the close: $(ls many-out | grep -c '\.xls$') of 200; other files: $(ls -A many-out | grep -vc '\.xls$' || true)"
if grep -q 'QThread' app-third.log; then echo "thread warning in the log"; exit 1; fi
for book in many-out/*.xls; do /usr/bin/python3 "$repo/tests/tools/readbook.py" --summary "$book" >/dev/null; done
echo "every workbook reads back"

kill "$wm"
