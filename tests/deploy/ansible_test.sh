#!/usr/bin/env bash
# The Ansible role of deploy/ansible run for real over SSH on three Linux
# hosts, each a network namespace of its own with its own sshd on a private
# address, logged into as a user of its own made for the test:
#   clean     clean files                              status 0
#   infected  the sample factory's demonstration folder status 1, all cleaned
#   skipped   clean files and a worm file its user may not read
#                                                      status 3, one not examined
# All three share this machine's file system, so each scans a folder of its
# own (a host variable) that only its user may enter; the test checks that
# each host's files, backup and report are its own, the summary table the
# play prints, and that the restore play puts every file back byte for byte.
#   ansible_test.sh KRELVON_SCAN KRELVON_SAMPLES
# Exit status 77 (skipped): not root, or no network namespaces here.
set -euo pipefail
scan_bin=$(realpath "$1")
samples_bin=$(realpath "$2")
src=$(cd "$(dirname "$0")/../.." && pwd)

if [ "$(id -u)" != 0 ]; then
  echo "skipped: network namespaces, users and sshd need root"
  exit 77
fi
probe="krelvon-probe-$$"
if ! ip netns add "$probe" 2>/dev/null; then
  echo "skipped: ip netns is not available here"
  exit 77
fi
ip netns del "$probe"
for tool in ansible-playbook ssh-keygen ssh /usr/sbin/sshd python3 useradd userdel; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (scripts/setup installs it)" >&2; exit 1; }
done

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# check NAME equals|contains ACTUAL EXPECTED
check() {
  local name=$1 how=$2 actual=$3 expected=$4
  case $how in
    equals) [ "$actual" = "$expected" ] || { fail "$name"; diff <(echo "$expected") <(echo "$actual") >&2 || true; } ;;
    contains) grep -qxF -- "$expected" <<<"$actual" || { fail "$name: no line '$expected' in:"; echo "$actual" >&2; } ;;
  esac
}

names=(clean infected skipped)
# Host i at 10.231.NET.(4i-2), this side of its link at .(4i-3), NET chosen by
# the process number: runs side by side (two build trees) keep apart.
net=$(( $$ % 250 + 1 ))
host_addr() { echo "10.231.$net.$((4 * $1 - 2))"; }
work=$(mktemp -d /tmp/krelvon-ansible.XXXXXX)
# Every user of the test reaches its own folder below this one; the backup
# refuses a folder whose parents others could write to.
chmod 755 "$work"
made_privsep=0
cleanup() {
  local i ns pids
  for i in 1 2 3; do
    ns="krelvon-$$-$i"
    if ip netns list | grep -q "^$ns\b"; then
      # sshd and every session it started run in the namespace.
      pids=$(ip netns pids "$ns" || true)
      [ -z "$pids" ] || kill $pids 2>/dev/null || true
      for _ in $(seq 50); do [ -z "$(ip netns pids "$ns" 2>/dev/null)" ] && break; sleep 0.1; done
      pids=$(ip netns pids "$ns" 2>/dev/null || true)
      [ -z "$pids" ] || kill -9 $pids 2>/dev/null || true
      ip netns del "$ns" || true
    fi
    ip link del "kv$$h$i" 2>/dev/null || true
    if id "krelvon-$$-$i" >/dev/null 2>&1; then userdel "krelvon-$$-$i" || true; fi
  done
  [ "$made_privsep" = 0 ] || rmdir /run/sshd 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM HUP
trap 'exit 130' INT

# The test's key, and the hosts' keys the controller knows.
ssh-keygen -q -t ed25519 -N '' -C krelvon-test -f "$work/id_ed25519"
install -m 644 "$work/id_ed25519.pub" "$work/authorized_keys"
: >"$work/known_hosts"
if [ ! -d /run/sshd ]; then mkdir -m 755 /run/sshd; made_privsep=1; fi

"$samples_bin" demo "$work/demo" >/dev/null
for i in 1 2 3; do
  name=${names[$((i - 1))]}
  user="krelvon-$$-$i"
  ns="krelvon-$$-$i"
  h="$work/h$i"
  addr=$(host_addr "$i")
  mkdir -m 755 "$h" "$h/sshd"
  useradd --no-create-home --home-dir "$h/home" --shell /bin/sh --user-group --password '*' "$user"
  install -d -m 700 -o "$user" -g "$user" "$h/home" "$h/files"

  # The host's files.
  case $name in
    clean)
      cp "$work/demo/calc.exe" "$work/demo/readme.txt" "$h/files/"
      mkdir "$h/files/tools" && cp "$work/demo/calc.exe" "$h/files/tools/calc-copy.exe" ;;
    infected)
      cp -r "$work/demo/." "$h/files/" ;;
    skipped)
      cp "$work/demo/calc.exe" "$work/demo/readme.txt" "$h/files/"
      cp "$work/demo/worm.exe" "$h/files/locked.exe" ;;
  esac
  chown -R "$user:$user" "$h/files"
  [ "$name" != skipped ] || chmod 000 "$h/files/locked.exe"

  # Its network: a veth pair, one end in the namespace.
  ip netns add "$ns"
  ip link add "kv$$h$i" type veth peer name eth0 netns "$ns"
  ip addr add "10.231.$net.$((4 * i - 3))/30" dev "kv$$h$i"
  ip link set "kv$$h$i" up
  ip -n "$ns" addr add "$addr/30" dev eth0
  ip -n "$ns" link set eth0 up
  ip -n "$ns" link set lo up

  # Its sshd: its own host key, only the test's key, only its user. The key
  # file lies below /tmp, which the ownership checks of StrictModes refuse.
  ssh-keygen -q -t ed25519 -N '' -f "$h/sshd/host_key"
  cat >"$h/sshd/sshd_config" <<EOF
ListenAddress $addr
HostKey $h/sshd/host_key
PidFile $h/sshd/sshd.pid
AuthorizedKeysFile $work/authorized_keys
AllowUsers $user
PermitRootLogin no
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
Subsystem sftp internal-sftp
EOF
  ip netns exec "$ns" /usr/sbin/sshd -f "$h/sshd/sshd_config" -D -E "$h/sshd/log" &
  echo "$addr $(cut -d' ' -f1,2 "$h/sshd/host_key.pub")" >>"$work/known_hosts"
done

# Each host's files as the scan finds them: content, mode and type.
state() { (cd "$work/h$1/files" && find . -printf '%y %m %u %p\n' | sort && find . -type f -print0 | sort -z | xargs -0 sha256sum); }
# The result lines of one task in a play's output, sorted.
task_results() {
  awk -v task="TASK [krelvon : $1]" 'index($0, task) == 1 {on = 1; next} on && /^(TASK|PLAY|RUNNING) / {on = 0}
       on && /^(ok|changed|failed|fatal|skipping): \[/ {print}' <<<"$2" | sort
}
declare -A before
for i in 1 2 3; do before[$i]=$(state "$i"); done

# The controller: its configuration, its inventory, nothing of this
# machine's own Ansible or SSH settings.
mkdir -p "$work/controller/tmp" "$work/controller/cp"
cat >"$work/ansible.cfg" <<EOF
[defaults]
inventory = $work/inventory.yml
local_tmp = $work/controller/tmp
host_key_checking = True
retry_files_enabled = False
forks = 5
[ssh_connection]
ssh_args = -F /dev/null -o ControlMaster=no -o UserKnownHostsFile=$work/known_hosts -o GlobalKnownHostsFile=/dev/null -o StrictHostKeyChecking=yes -o IdentitiesOnly=yes -o BatchMode=yes -o ConnectTimeout=10
control_path_dir = $work/controller/cp
pipelining = True
EOF
{
  echo "all:"
  echo "  vars:"
  echo "    ansible_ssh_private_key_file: $work/id_ed25519"
  echo "    ansible_python_interpreter: /usr/bin/python3"
  echo "    krelvon_linux_x86_64_build: $scan_bin"
  echo "    krelvon_fetch_dir: $work/reports"
  echo "  hosts:"
  for i in 1 2 3; do
    echo "    ${names[$((i - 1))]}:"
    echo "      ansible_host: $(host_addr "$i")"
    echo "      ansible_user: krelvon-$$-$i"
    echo "      krelvon_paths: [$work/h$i/files]"
    echo "      krelvon_install_dir: $work/h$i/home/krelvon"
    echo "      krelvon_work_dir: $work/h$i/home/krelvon"
  done
} >"$work/inventory.yml"
export ANSIBLE_CONFIG="$work/ansible.cfg" ANSIBLE_HOME="$work/controller/home" ANSIBLE_NOCOLOR=1 ANSIBLE_FORCE_COLOR=0

# Every sshd listening before the play starts.
for i in 1 2 3; do
  for _ in $(seq 100); do
    if bash -c "exec 3<>/dev/tcp/$(host_addr "$i")/22" 2>/dev/null; then continue 2; fi
    sleep 0.1
  done
  echo "sshd of host $i does not listen:" >&2
  cat "$work/h$i/sshd/log" >&2
  exit 1
done

# Both playbooks, the Windows tasks among them, pass the syntax check, with
# the example inventory too.
ansible-playbook --syntax-check "$src/deploy/ansible/scan.yml" "$src/deploy/ansible/restore.yml" >/dev/null
ansible-playbook -i "$src/deploy/ansible/inventory.example.yml" --syntax-check "$src/deploy/ansible/scan.yml" >/dev/null
check "example inventory: its hosts" equals "$(ansible-inventory -i "$src/deploy/ansible/inventory.example.yml" --list |
  python3 -c 'import json, sys; d = json.load(sys.stdin); print(*sorted(d["_meta"]["hostvars"]))')" \
  "files1.example.org files2.example.org pc1.example.org pc2.example.org"

status=0
ansible-playbook "$src/deploy/ansible/scan.yml" >"$work/scan.out" 2>&1 || status=$?
check "scan play: exit status" equals "$status" 0
scan_out=$(cat "$work/scan.out")
if ! grep -q '^PLAY RECAP' <<<"$scan_out" || grep -q 'UNREACHABLE!' <<<"$scan_out"; then
  echo "the scan play did not reach every host:" >&2
  echo "$scan_out" >&2
  for i in 1 2 3; do echo "sshd of host $i:" >&2; cat "$work/h$i/sshd/log" >&2; done
  exit 1
fi
# The scan task and the classification after it: changed only where
# something was cleaned, failed nowhere, nothing unreachable.
check "scan task: each host's result" equals "$(task_results "Run krelvon-scan with a backup and a report" "$scan_out")" \
  "changed: [infected]
ok: [clean]
ok: [skipped]"
check "classification: each host's result" equals "$(task_results "Classify the host from its exit status" "$scan_out")" \
  "changed: [infected] => {
ok: [clean] => {
ok: [skipped] => {"
check "classified: clean" contains "$scan_out" "    \"msg\": \"clean: status 0: nothing found, everything examined\""
check "classified: infected" contains "$scan_out" "    \"msg\": \"infected: status 1: found, every finding dealt with as chosen\""
check "classified: skipped" contains "$scan_out" "    \"msg\": \"skipped: status 3: not everything examined, nothing left infected\""
for name in clean infected skipped; do
  check "recap $name" equals "$(grep "^$name " <<<"$scan_out" | grep -o 'unreachable=[0-9]* *failed=[0-9]*' | tr -s ' ')" \
    "unreachable=0 failed=0"
done

# The summary table: written on the controller and printed by the play.
summary=$(cat "$work/reports/summary.txt")
expected_summary="host      status  outcome           scanned  clean  cleaned  still infected  restart needed  not examined
clean     0       clean             3        3      0        0               0               0
infected  1       cleaned           8        2      6        0               0               0
skipped   3       not all examined  3        2      0        0               0               1
3 hosts: 1 clean, 1 cleaned, 1 not all examined"
check "summary table" equals "$summary" "$expected_summary"
while IFS= read -r line; do
  grep -qF "\"$line\"" <<<"$scan_out" || fail "summary line not printed by the play: $line"
done <<<"$summary"
check "summary figures" equals "$(python3 -c '
import json, sys
for r in json.load(open(sys.argv[1])):
    print(r["host"], r["status"], " ".join(str(r["counts"][k]) for k in ("clean", "cleaned", "still infected", "restart needed", "not examined")))
' "$work/reports/summary.json")" "clean 0 3 0 0 0 0
infected 1 2 6 0 0 0
skipped 3 2 0 0 0 1"

# Each host's report, fetched, names only its own folder.
for i in 1 2 3; do
  name=${names[$((i - 1))]}
  report="$work/reports/$name/report.jsonl"
  [ -s "$report" ] || { fail "$name: no report fetched"; continue; }
  cmp -s "$report" "$work/h$i/home/krelvon/report-$name.jsonl" || fail "$name: the fetched report is not the host's"
  others=$(python3 -c '
import json, sys
for line in open(sys.argv[1]):
    o = json.loads(line)
    if "path" in o and not o["path"].startswith(sys.argv[2] + "/"):
        print(o["path"])
' "$report" "$work/h$i/files")
  check "$name: report paths in its own folder" equals "$others" ""
done
check "skipped: the entry not examined" equals "$(grep '"type":"skipped"' "$work/reports/skipped/report.jsonl")" \
  "{\"type\":\"skipped\",\"path\":\"$work/h3/files/locked.exe\",\"reason\":\"permission denied\"}"

# Each host's files after the scan: the clean and the skipped hosts as they
# were, the infected host's worm files gone and its hosts disinfected.
check "clean: files unchanged" equals "$(state 1)" "${before[1]}"
check "skipped: files unchanged" equals "$(state 3)" "${before[3]}"
check "infected: what is left" equals "$(cd "$work/h2/files" && find . -type f | sort)" "./calc.exe
./editor.exe
./games/game.exe
./readme.txt
./tools/tool.exe"
status=0
"$scan_bin" --action=ignore "$work/h2/files" >/dev/null || status=$?
check "infected: a scan finds nothing more" equals "$status" 0

# Each host's backup: its own folder, a run of its own folder only, a copy of
# each file changed, the clean hosts' none.
manifest_of() {
  python3 -c '
import json, sys
folders, befores = set(), []
for line in open(sys.argv[1]):
    o = json.loads(line)
    if o["type"] == "run":
        folders.update(o["folders"])
    elif o["type"] == "before":
        befores.append(o["path"][len(sys.argv[2]) + 1:] + " " + o["action"])
print("folders", *sorted(folders))
print(*sorted(befores), sep="\n")
' "$1" "$2"
}
for i in 1 2 3; do
  name=${names[$((i - 1))]}
  backup="$work/h$i/home/krelvon/backup-$name"
  [ -f "$backup/manifest.jsonl" ] || { fail "$name: no backup manifest"; continue; }
  case $name in
    infected) expected="folders $work/h2/files
editor.exe rewrite
games/game.exe rewrite
tools/tool.exe rewrite
worm-helper-b.dll delete
worm-helper.dll delete
worm.exe delete"; copies=6 ;;
    *) expected="folders $work/h$i/files"; copies=0 ;;
  esac
  check "$name: backup manifest" equals "$(manifest_of "$backup/manifest.jsonl" "$work/h$i/files")" "$expected"
  check "$name: backup copies" equals "$(find "$backup" -type f ! -name manifest.jsonl | wc -l)" "$copies"
  check "$name: backup owned by its user" equals "$(stat -c %U "$backup")" "krelvon-$$-$i"
done
# The copies are the files as they were.
compared=0
while read -r digest path; do
  copy=$(grep -F "\"path\":\"$work/h2/files/${path#./}\"" "$work/h2/home/krelvon/backup-infected/manifest.jsonl" |
         python3 -c 'import json, sys; print(json.loads(sys.stdin.readline())["copy"])' 2>/dev/null || true)
  [ -z "$copy" ] && continue
  check "infected: the copy of $path" equals "$(sha256sum <"$work/h2/home/krelvon/backup-infected/$copy" | cut -d' ' -f1)" "$digest"
  compared=$((compared + 1))
done <<<"$(grep -E '^[0-9a-f]{64} ' <<<"${before[2]}")"
check "infected: copies compared" equals "$compared" 6

# A host failed by the status it gave: the skipped host alone, with 3 among
# the statuses that fail; its summary is printed all the same, and nothing of
# the other hosts is touched.
status=0
ansible-playbook --limit skipped -e '{"krelvon_failed_statuses": [3]}' "$src/deploy/ansible/scan.yml" \
  >"$work/failing.out" 2>&1 || status=$?
failing_out=$(cat "$work/failing.out")
check "failing host: the play's exit status" equals "$status" 2
check "failing host: its classification" equals "$(task_results "Classify the host from its exit status" "$failing_out")" \
  "fatal: [skipped]: FAILED! => {"
check "failing host: summary" equals "$(cat "$work/reports/summary.txt")" \
"host     status  outcome           scanned  clean  cleaned  still infected  restart needed  not examined
skipped  3       not all examined  3        2      0        0               0               1
1 host: 1 not all examined"
check "failing host: summary printed" contains "$failing_out" '        "skipped  3       not all examined  3        2      0        0               0               1",'
check "failing host: its files unchanged" equals "$(state 3)" "${before[3]}"

# The restore play: every file back byte for byte, with its mode.
status=0
ansible-playbook "$src/deploy/ansible/restore.yml" >"$work/restore.out" 2>&1 || status=$?
check "restore play: exit status" equals "$status" 0
restore_out=$(cat "$work/restore.out")
grep -q '^PLAY RECAP' <<<"$restore_out" || { echo "the restore play did not run:" >&2; echo "$restore_out" >&2; exit 1; }
check "restore summary" equals "$(cat "$work/reports/restore-summary.txt")" \
"host      status  outcome   restored  in place  refused  failed
clean     0       restored  0         0         0        0
infected  0       restored  6         0         0        0
skipped   0       restored  0         0         0        0
3 hosts: 3 restored"
check "restore task: each host's result" equals "$(task_results "Put back what the scans kept in this host's backup folder" "$restore_out")" \
  "changed: [infected]
ok: [clean]
ok: [skipped]"
for i in 1 2 3; do
  check "${names[$((i - 1))]}: every file back" equals "$(state "$i")" "${before[$i]}"
done

if [ "$failures" -gt 0 ]; then
  echo "$failures checks failed; the scan play's output:" >&2
  cat "$work/scan.out" >&2
  [ ! -f "$work/failing.out" ] || { echo "the play with a failing host:" >&2; cat "$work/failing.out" >&2; }
  [ ! -f "$work/restore.out" ] || { echo "the restore play's output:" >&2; cat "$work/restore.out" >&2; }
  for i in 1 2 3; do echo "sshd of host $i:" >&2; cat "$work/h$i/sshd/log" >&2; done
  exit 1
fi
echo "ansible: 3 hosts scanned and restored over SSH; the scan play's summary:"
sed -n '/^TASK \[krelvon : Summary of the scan\]/,/^$/p' "$work/scan.out"
