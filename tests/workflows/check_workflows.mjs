// Checks GitHub Actions workflows two ways, and exits 1 on any finding:
//  1. GitHub's own parser (@actions/workflow-parser) parses and converts each
//     file; every error it reports is a finding.
//  2. Every `run:` step that calls a project script (scripts/..., tests/...)
//     names a file that exists and is executable, with arguments the script
//     accepts: `SCRIPT --help` prints one `usage: SCRIPT FORM` line per way
//     it is called, FORM made of literal words, `a|b` choices, `[...]`
//     optional parts, UPPERCASE placeholders and a trailing `...` after a
//     part that repeats. `${{ matrix.X }}` is checked for every value of X;
//     any other expression or variable in such a call is a finding, as it
//     cannot be checked.
//  3. Every action a step uses is pinned to a commit (40 hex digits).
//
//   node --import ./register-json-hook.mjs check_workflows.mjs NODE_MODULES ROOT WORKFLOW_DIR
import { execFileSync } from "node:child_process";
import { accessSync, constants, readdirSync, readFileSync } from "node:fs";
import { join } from "node:path";
import { pathToFileURL } from "node:url";

const [modules, root, workflowDir] = process.argv.slice(2);
const load = (path) => import(pathToFileURL(join(modules, path)).href);
const parser = await load("@actions/workflow-parser/dist/index.js");
const YAML = await load("yaml/dist/index.js");

const findings = [];
const report = (file, message) => {
  const finding = `${file}: ${message}`;
  if (!findings.includes(finding)) findings.push(finding);
};

async function parseWithGitHub(file, content) {
  const result = parser.parseWorkflow({ name: file, content }, new parser.NoOperationTraceWriter());
  for (const error of result.context.errors.getErrors()) report(file, error.message);
  if (!result.value) return report(file, "the parser returned no workflow");
  const template = await parser.convertWorkflowTemplate(result.context, result.value);
  for (const error of template.errors ?? []) report(file, error.Message);
}

// The values each matrix combination gives, as GitHub forms them: the
// product of the matrix's lists, then each `include` entry merged into the
// combinations it matches or added as one of its own.
function matrixCombinations(matrix) {
  if (!matrix || typeof matrix !== "object") return [{}];
  const { include = [], exclude = [], ...lists } = matrix;
  let combinations = [{}];
  for (const [key, values] of Object.entries(lists)) {
    combinations = combinations.flatMap((c) => [].concat(values).map((v) => ({ ...c, [key]: v })));
  }
  const matches = (c, entry) => Object.entries(entry).every(([k, v]) => c[k] === v);
  combinations = combinations.filter((c) => !exclude.some((entry) => matches(c, entry)));
  if (Object.keys(lists).length === 0) combinations = [];
  for (const entry of include) {
    const original = Object.fromEntries(Object.entries(entry).filter(([k]) => k in lists));
    const merged = combinations.filter((c) => matches(c, original));
    if (Object.keys(lists).length > 0 && merged.length > 0) merged.forEach((c) => Object.assign(c, entry));
    else combinations.push({ ...entry });
  }
  return combinations.length ? combinations : [{}];
}

// The simple commands of a run: script, split at line ends and shell operators.
function commands(script) {
  return script
    .replace(/\\\n/g, " ")
    .split(/\n|&&|\|\||;|\|/)
    .map((line) => line.trim().split(/\s+/).filter(Boolean).map((w) => w.replace(/^["']|["']$/g, "")))
    .filter((words) => words.length);
}

const usageCache = new Map();
function usages(script) {
  if (!usageCache.has(script)) {
    let lines = null;
    try {
      const help = execFileSync(join(root, script), ["--help"], { cwd: root, encoding: "utf8" });
      lines = help.split("\n").filter((l) => l.startsWith(`usage: ${script}`))
        .map((l) => l.slice(`usage: ${script}`.length).trim());
    } catch (error) {
      lines = error.message.split("\n")[0];
    }
    usageCache.set(script, lines);
  }
  return usageCache.get(script);
}

// FORM as a list of parts: { choices: Set | null (placeholder), optional, repeat }.
function parseForm(form) {
  const parts = [];
  for (const word of form.split(/\s+/).filter(Boolean)) {
    const repeat = word.endsWith("...");
    const bare = word.replace(/\.\.\.$/, "");
    const optional = bare.startsWith("[") && bare.endsWith("]");
    const inner = optional ? bare.slice(1, -1) : bare;
    const choices = /^[A-Z][A-Z0-9_]*$/.test(inner) ? null : new Set(inner.split("|"));
    parts.push({ choices, optional, repeat });
  }
  return parts;
}

function accepts(parts, args) {
  if (parts.length === 0) return args.length === 0;
  const [part, ...rest] = parts;
  const fits = args.length > 0 && (part.choices === null || part.choices.has(args[0]));
  // Once matched, a repeating part may match again or no more.
  if (fits && part.repeat && accepts([{ ...part, optional: true }, ...rest], args.slice(1))) return true;
  if (fits && accepts(rest, args.slice(1))) return true;
  return part.optional && accepts(rest, args);
}

function checkCall(file, job, words) {
  const at = words.findIndex((w) => /^(\.\/)?(scripts|tests)\//.test(w));
  if (at < 0) return;
  const script = words[at].replace(/^\.\//, "");
  try {
    accessSync(join(root, script), constants.X_OK);
  } catch {
    return report(file, `job ${job}: ${script} is missing or not executable`);
  }
  const args = [];
  for (const word of words.slice(at + 1)) {
    if (/^[0-9]*[<>]/.test(word)) break;  // a redirection ends the arguments
    if (/\$/.test(word)) return report(file, `job ${job}: cannot check the argument ${word} of ${script}`);
    args.push(word);
  }
  const forms = usages(script);
  if (!Array.isArray(forms) || forms.length === 0) {
    return report(file, `job ${job}: ${script} --help printed no "usage: ${script}" line (${forms})`);
  }
  if (!forms.some((form) => accepts(parseForm(form), args))) {
    report(file, `job ${job}: ${script} ${args.join(" ")} is none of: ${forms.map((f) => `${script} ${f}`).join("; ")}`);
  }
}

function checkScriptCalls(file, content) {
  const workflow = YAML.parse(content);
  for (const [job, definition] of Object.entries(workflow?.jobs ?? {})) {
    const combinations = matrixCombinations(definition?.strategy?.matrix);
    for (const step of definition?.steps ?? []) {
      const uses = step?.uses;
      if (typeof uses === "string" && !/^(\.\/|docker:\/\/)/.test(uses) && !/@[0-9a-f]{40}$/.test(uses)) {
        report(file, `job ${job}: ${uses} is not pinned to a commit`);
      }
      if (typeof step?.run !== "string") continue;
      for (const combination of combinations) {
        const run = step.run.replace(/\$\{\{\s*matrix\.([\w-]+)\s*\}\}/g, (whole, key) =>
          key in combination ? String(combination[key]) : whole);
        for (const words of commands(run)) checkCall(file, job, words);
      }
    }
  }
}

const files = readdirSync(workflowDir).filter((f) => /\.ya?ml$/.test(f)).sort();
if (files.length === 0) report(workflowDir, "no workflow files");
for (const file of files) {
  const content = readFileSync(join(workflowDir, file), "utf8");
  await parseWithGitHub(file, content);
  if (!findings.some((f) => f.startsWith(`${file}:`))) checkScriptCalls(file, content);
}
for (const finding of findings) console.log(`FAILED: ${finding}`);
console.log(`${files.length} workflow files: ${findings.length ? `${findings.length} findings` : "parsed by GitHub's parser, every script call accepted"}`);
process.exit(findings.length ? 1 : 0);
