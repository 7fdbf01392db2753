#!/usr/bin/env bash
# Takes the window's screenshots: at 100 % and 200 % scale while a run works through a file deep
# below a long folder path (the status line elides the path in the middle), and the message that
# appears when the run's failure list cannot be shown because no program opens text files (as on
# this bare X server, where xdg-open ends with status 4). Run it inside Xvfb with a screen large
# enough for the 200 % window:
#
#   xvfb-run -a -s "-screen 0 2560x1440x24" docs/window/screenshots.sh QUILLMORNE WORKDIR [SHOTS]
#
# QUILLMORNE is the program to run (it is copied without a settings file beside it, so its settings
# go to the per-user configuration folder below WORKDIR/home), WORKDIR an empty scratch folder,
# SHOTS the folder for the screenshots (default: the folder of this script). Needs openbox,
# xdotool and ImageMagick. Click positions are relative to the window.
set -euo pipefail

program=$(readlink -f "$1")
work=$(readlink -f "$2")
here=$(cd "$(dirname "$0")" && pwd)
shots=$(readlink -f "${3:-$here}")
mkdir -p "$work/bin" "$shots"
cp "$program" "$work/bin/Quillmorne"
cd "$work"

export HOME="$work/home" XDG_CONFIG_HOME="" XDG_RUNTIME_DIR=""
mkdir -p "$HOME/.config/Quillmorne"

# A folder path of some 150 characters, one large text to keep the run busy and two sources that
# are no regular files (they fail, and the run goes on).
source="$work/年度报表/华东大区各门店每日销售明细与库存盘点记录（原始导出文本，请勿手动修改）/2024年第三季度/第七周至第十三周汇总/门店编号0001至0250"
mkdir -p "$source"
seq 600000 | sed 's/.*/&\t门店&\t&.25\t2024-08-01/' > "$source/0001-全部门店销售明细.txt"
for i in 2 3 4 5 6; do cp "$source/0001-全部门店销售明细.txt" "$source/000$i-全部门店销售明细.txt"; done
mkfifo "$source/0007-导出中断的盘点记录.txt" "$source/0008-门店对账单.txt"
printf 'SourcePath=%s/\r\nSaveToQuondamPath=y\r\nxlsxMode=y\r\nvbaOpenFunFomatArg=1\r\n' "$source" \
    > "$HOME/.config/Quillmorne/Quillmorne.vqd"

openbox >openbox.log 2>&1 &
wm=$!
sleep 1

window() { xdotool search --sync --onlyvisible --name "$1" | head -1; }
shot() { sleep 0.8; import -window root "$work/root.png"; convert "$work/root.png" -trim +repage "$shots/$1.png"; echo "screenshot $1"; }

run_at_scale() {
    local scale=$1 name=$2
    rm -f "$source"/*.xlsx
    QT_SCALE_FACTOR=$scale "$work/bin/Quillmorne" >"app-$name.log" 2>&1 &
    app=$!
    main=$(window '^Quillmorne4\.0$')
    sleep 1
    # "按设置转换"
    xdotool mousemove --window "$main" $((877 * scale)) $((225 * scale)) click 1
    # While the large text is converted, the status line shows its path.
    sleep 0.5
    shot "$name"
    box=$(window '^Quillmorne$')
    if [ "$scale" -eq 1 ]; then
        # Unfold the details: the button next to OK.
        xdotool windowactivate --sync "$box" key Tab space
        shot failure-message
    fi
    xdotool windowactivate --sync "$box" key Escape
    sleep 0.5
    xdotool windowactivate --sync "$main" key alt+F4
    wait "$app"
}

run_at_scale 1 window-100
run_at_scale 2 window-200
echo "failure list: $(cat -A "$source/无法转换的文件目录.txt")"
kill "$wm"
