#!/usr/bin/env bash
# Registers the frames of a numbered OBJ sequence with veltrix-batch, one job per pair of frames.
#
#   tools/register-sequence.sh [options] <first frame .obj> <parameter file>
#   tools/register-sequence.sh --gather <output directory>
#
# Options:
#   --mode reference|next  every frame against the reference frame (default), or each frame
#                          against the next frame present
#   --reference N          number of the reference frame (default: the first frame)
#   --last N               number of the last frame (default: the highest number on disk)
#   --out DIR              output directory (default: sequence-out)
#   --batch PATH           the veltrix-batch program (default: $VELTRIX_BATCH, then veltrix-batch
#                          on the PATH, then build/programs/veltrix-batch next to this script)
#   --seed N               random seed of every job (default 1)
#   --jobs N               jobs GNU parallel runs at once (default: one per core)
#   --ground-truth         frames share their vertex order: report the error against the
#                          vertex-by-vertex correspondence (pairs with equal vertex counts only)
#   --prepare-only         write the job list and the Slurm array script, run nothing
#
# The output directory gets jobs.txt (one command line per job; GNU parallel runs it locally),
# sequence.sbatch (the same jobs as a Slurm array), pairs.tsv (the pairs, in job order) and one
# working directory per job under jobs/ with its parameter file, caches, result, exports
# (export/: source.ply, target.ply, correspondences.csv, summary.json) and log. A job is rerun alone
# with the line of jobs.txt that names it. At the end, table.tsv gathers one row per pair.
#
# Exit status: 0 every pair registered; 3 the table is written but frames were missing or jobs
# failed; 1 nothing could be started (unreadable input, unwritable output directory); 2 bad usage.
set -uo pipefail

die() { echo "register-sequence: $*" >&2; exit 1; }
usage() { sed -n '2,28p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }

absolute() { (cd "$(dirname "$1")" && printf '%s/%s\n' "$(pwd -P)" "$(basename "$1")"); }

# Writes the header and one row per pair of pairs.tsv into table.tsv, and prints the table.
gather() {
    local out=$1 batch=$2 failed=0
    [ -r "$out/pairs.tsv" ] || die "no job list $out/pairs.tsv to gather"
    local table="$out/table.tsv" tmp
    tmp=$(mktemp "$out/.table.XXXXXX") || die "cannot write into $out"
    printf 'frame\tagainst\tlabels\terror\terror_percent\tgt_mean\tgt_max\tseconds\tstatus\n' > "$tmp"
    while IFS=$'\t' read -r job frame against dir _; do
        [ "$job" = job ] && continue
        local row="" seconds="-" status="not run"
        [ -r "$dir/seconds" ] && seconds=$(cat "$dir/seconds")
        [ -r "$dir/status" ] && status=$(cat "$dir/status")
        if [ "$status" = ok ]; then
            row=$("$batch" --summary-row "$dir/export/summary.json" 2>/dev/null) || { row=""; status="no summary"; }
        fi
        [ -n "$row" ] || row=$(printf -- '-\t-\t-\t-\t-')
        [ "$status" = ok ] || failed=$((failed + 1))
        printf '%s\t%s\t%s\t%s\t%s\n' "$frame" "$against" "$row" "$seconds" "$status" >> "$tmp"
    done < "$out/pairs.tsv"
    mv -f "$tmp" "$table" || die "cannot write $table"
    column -t -s $'\t' "$table" 2>/dev/null || cat "$table"
    echo "Table written to $table"
    [ "$failed" -eq 0 ] || echo "register-sequence: $failed job(s) did not succeed; rerun them alone with their line of $out/jobs.txt" >&2
    return "$failed"
}

find_batch() {
    if [ -n "$1" ]; then printf '%s\n' "$1"
    elif [ -n "${VELTRIX_BATCH:-}" ]; then printf '%s\n' "$VELTRIX_BATCH"
    elif command -v veltrix-batch > /dev/null; then command -v veltrix-batch
    else printf '%s\n' "$(dirname "$0")/../build/programs/veltrix-batch"
    fi
}

# ---- command line ----
mode=reference reference="" last="" out=sequence-out batch="" seed=1 jobs="" truth=0 prepare=0 gatherDir=""
while [ $# -gt 0 ]; do
    case $1 in
        --mode) mode=${2-}; shift 2 || usage ;;
        --reference) reference=${2-}; shift 2 || usage ;;
        --last) last=${2-}; shift 2 || usage ;;
        --out) out=${2-}; shift 2 || usage ;;
        --batch) batch=${2-}; shift 2 || usage ;;
        --seed) seed=${2-}; shift 2 || usage ;;
        --jobs) jobs=${2-}; shift 2 || usage ;;
        --ground-truth) truth=1; shift ;;
        --prepare-only) prepare=1; shift ;;
        --gather) gatherDir=${2-}; shift 2 || usage ;;
        -h|--help) usage ;;
        -*) echo "register-sequence: unknown option $1" >&2; usage ;;
        *) break ;;
    esac
done
[ -n "$gatherDir" ] || [ $# -eq 2 ] || usage
batch=$(find_batch "$batch")
[ -x "$batch" ] || die "veltrix-batch not found or not executable: $batch (use --batch PATH)"
batch=$(absolute "$batch")
if [ -n "$gatherDir" ]; then
    [ $# -eq 0 ] || usage
    gather "$gatherDir" "$batch"
    [ $? -eq 0 ] && exit 0 || exit 3
fi
[ $# -eq 2 ] || usage
first=$1 params=$2
case $mode in reference|next) ;; *) echo "register-sequence: --mode is reference or next" >&2; usage ;; esac
for n in "$reference" "$last" "$seed" "$jobs"; do
    [[ -z "$n" || "$n" =~ ^[0-9]+$ ]] || { echo "register-sequence: not a number: $n" >&2; usage; }
done
[ -r "$params" ] || die "cannot read the parameter file $params"
[ -r "$first" ] || die "cannot read the first frame $first"

# The frame number is the last run of digits in the file name.
dir=$(dirname "$first")
name=$(basename "$first")
[[ "$name" =~ ^(.*[^0-9]|)([0-9]+)([^0-9]*)$ ]] || die "$first carries no frame number"
prefix=${BASH_REMATCH[1]} digits=${BASH_REMATCH[2]} suffix=${BASH_REMATCH[3]}
width=${#digits}
start=$((10#$digits))
frame_file() { printf '%s/%s%0*d%s\n' "$dir" "$prefix" "$width" "$1" "$suffix"; }
if [ -z "$last" ]; then
    last=$start
    for f in "$dir/$prefix"*"$suffix"; do
        n=${f#"$dir/$prefix"}
        n=${n%"$suffix"}
        [[ "$n" =~ ^[0-9]+$ ]] && [ "$((10#$n))" -gt "$last" ] && last=$((10#$n))
    done
fi
[ "$last" -ge "$start" ] || die "the last frame $last comes before the first $start"

# ---- output directory: checked before anything is written or run ----
mkdir -p "$out" 2> /dev/null || die "cannot create the output directory $out"
probe=$(mktemp "$out/.probe.XXXXXX" 2> /dev/null) || die "cannot write into the output directory $out"
rm -f "$probe"
out=$(cd "$out" && pwd -P)

# ---- frames present, missing, and their vertex counts ----
present=() missing=0
declare -A vertices
for ((k = start; k <= last; k++)); do
    f=$(frame_file "$k")
    if [ -r "$f" ]; then
        present+=("$k")
        vertices[$k]=$(grep -c '^v ' "$f")
    else
        echo "register-sequence: frame $k is missing ($f); the other frames are registered" >&2
        missing=$((missing + 1))
    fi
done
reference=${reference:-$start}
if [ "$mode" = reference ] && [ -z "${vertices[$reference]+set}" ]; then
    die "the reference frame $reference is missing ($(frame_file "$reference"))"
fi

# ---- one working directory and one command line per pair ----
xml_escape() { sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' <<< "$1"; }
sed_escape() { sed -e 's/[\\&|]/\\&/g' <<< "$1"; }
# Replaces the value of one element of the parameter file (one element per line, as written by
# "veltrix -w"); fails when the element is not there.
set_param() {
    local key=$1 value file=$3
    value=$(sed_escape "$(xml_escape "$2")")
    grep -q "<$key type=\"[a-zA-Z]*\"\(>.*</$key>\|/>\)" "$file" || return 1
    sed -i -e "s|<$key type=\"\([a-zA-Z]*\)\">.*</$key>|<$key type=\"\1\">$value</$key>|" \
           -e "s|<$key type=\"\([a-zA-Z]*\)\"/>|<$key type=\"\1\">$value</$key>|" "$file"
}

pairs=()
if [ "$mode" = reference ]; then
    for k in "${present[@]}"; do [ "$k" -ne "$reference" ] && pairs+=("$k:$reference"); done
else
    for ((i = 0; i + 1 < ${#present[@]}; i++)); do pairs+=("${present[i]}:${present[i + 1]}"); done
fi
[ ${#pairs[@]} -gt 0 ] || die "no pair of frames to register"

: > "$out/jobs.txt" || die "cannot write $out/jobs.txt"
printf 'job\tframe\tagainst\tdirectory\tground_truth\n' > "$out/pairs.tsv"
job=0
for pair in "${pairs[@]}"; do
    job=$((job + 1))
    frame=${pair%%:*} against=${pair##*:}
    jobDir=$(printf '%s/jobs/%0*d-%0*d' "$out" "$width" "$frame" "$width" "$against")
    mkdir -p "$jobDir/frames" || die "cannot create $jobDir"
    src=$(absolute "$(frame_file "$frame")") dst=$(absolute "$(frame_file "$against")")
    ln -sfn "$src" "$jobDir/frames/$(basename "$src")"
    ln -sfn "$dst" "$jobDir/frames/$(basename "$dst")"
    cp "$params" "$jobDir/params.xml" || die "cannot write $jobDir/params.xml"
    for setting in "rootDir=./" "defaultFile=" "defaultSourceFile=frames/$(basename "$src")" \
                   "defaultTargetFile=frames/$(basename "$dst")" "autoProcessMode=1" \
                   "autoSaveCorrespondenceResult=result.gc"; do
        set_param "${setting%%=*}" "${setting#*=}" "$jobDir/params.xml" ||
            die "cannot set ${setting%%=*} in $params (expected one element per line, as veltrix -w writes them)"
    done
    gt=no options=""
    if [ "$truth" -eq 1 ]; then
        if [ "${vertices[$frame]}" -eq "${vertices[$against]}" ]; then
            gt=yes options=" --ground-truth"
        else
            echo "register-sequence: frame $frame has ${vertices[$frame]} vertices and frame $against ${vertices[$against]};" \
                 "the pair is registered but left out of the ground-truth report" >&2
        fi
    fi
    cat > "$jobDir/job.sh" << EOF
#!/usr/bin/env bash
# Registers frame $frame against frame $against in this directory; rerun it alone at any time.
cd "\$(dirname "\$0")" || exit 1
rm -f status seconds
begin=\$(date +%s.%N)
$(printf '%q' "$batch") --seed $seed --export-dir export --overwrite$options params.xml > log.txt 2>&1
code=\$?
awk -v a="\$begin" -v b="\$(date +%s.%N)" 'BEGIN { printf "%.2f\n", b - a }' > seconds
if [ \$code -eq 0 ]; then echo ok > status; else echo "failed (exit \$code, see log.txt)" > status; fi
exit \$code
EOF
    chmod +x "$jobDir/job.sh"
    printf 'bash %q\n' "$jobDir/job.sh" >> "$out/jobs.txt"
    printf '%s\t%s\t%s\t%s\t%s\n' "$job" "$frame" "$against" "$jobDir" "$gt" >> "$out/pairs.tsv"
done

cat > "$out/sequence.sbatch" << EOF
#!/usr/bin/env bash
# Slurm array over the lines of jobs.txt: sbatch $(printf '%q' "$out/sequence.sbatch")
# Afterwards: $(printf '%q' "$(absolute "$0")") --gather $(printf '%q' "$out")
#SBATCH --job-name=veltrix-sequence
#SBATCH --array=1-$job
#SBATCH --ntasks=1
#SBATCH --cpus-per-task=1
#SBATCH --output="$out/jobs/slurm-%A_%a.out"
line=\$(sed -n "\${SLURM_ARRAY_TASK_ID}p" $(printf '%q' "$out/jobs.txt"))
eval "\$line"
EOF
echo "Wrote $job jobs to $out/jobs.txt and the Slurm array script $out/sequence.sbatch"
if [ "$prepare" -eq 1 ]; then
    echo "Run them with: parallel --will-cite < $out/jobs.txt   (or sbatch $out/sequence.sbatch)"
    echo "then gather the table with: $0 --gather $out"
    exit 0
fi

command -v parallel > /dev/null || die "GNU parallel is not installed (Debian package parallel)"
parallel --will-cite ${jobs:+--jobs "$jobs"} < "$out/jobs.txt"
gather "$out" "$batch"
failed=$?
[ "$failed" -eq 0 ] && [ "$missing" -eq 0 ] && exit 0
exit 3
