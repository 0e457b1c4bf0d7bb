"""The benchmarks' report: the printed table of results.json's figures and
the plots of the scaling curves and the replay stores."""

import sys

from timing import ms, us


def table(results):
    rows = []

    def row(name, value, target=""):
        rows.append((name, value, target))

    if "sso_view" in results:
        row("SSO view (real AuthnRequest)", us(results["sso_view"]["median"]))
    if "audit_record" in results:
        row("audit record of a callback (handler, formatted line)",
            f"{us(results['audit_record']['median'])} ({results['audit_share'] * 100:.2f} % of a callback)", "< 2 %")
        row("  same with metrics on",
            f"{us(results['audit_record_metrics']['median'])} ({results['audit_metrics_share'] * 100:.2f} %)", "< 2 %")
    if "callback_real" in results:
        row("callback view, real signed response, 1000 users", us(results["callback_real"]["median"]))
        row("callback view, canned toolkit", us(results["callback_canned_toolkit"]["median"]))
        row("plug-in share of a real callback (canned / real)", f"{results['plugin_share'] * 100:.2f} %", "≤ 5 %")
        row("  of which WebOb form parsing", us(results["webob_form_parse"]["median"]))
        row("  of which HTTPFound", us(results["httpfound"]["median"]))
        row("plug-in's own share (without WebOb)", f"{results['plugin_own_share'] * 100:.2f} %", "≤ 5 %")
        if "transform_check_share" in results:
            row("transform check per callback", us(results["transform_check"]["median"]))
            row("transform check share of a callback", f"{results['transform_check_share'] * 100:.2f} %", "< 5 %")
    speed = results.get("callback_speed")
    if speed:
        t = speed["us"]
        row(f"callback, {speed['response_bytes']:,}-byte response: plug-in / without caches / python3-saml alone / "
            "floor (own processes)", " / ".join(f"{t[n]:,.0f} µs" for n in (
                "plugin", "plugin_without_caches", "toolkit_alone", "floor")))
        for key, label, target in (
                ("toolkit_alone_over_plugin", "  python3-saml alone / plug-in (paired rounds)", "≥ 2.0×"),
                ("plugin_over_floor", "  plug-in / floor", "≤ 4.5×"),
                ("without_over_with_caches", "  plug-in without caches / with", ""),
                ("toolkit_alone_over_floor", "  python3-saml alone / floor", "")):
            r = speed[key]
            row(label, f"{r['median']:.2f}× ({r['min']:.2f}–{r['max']:.2f})", target)
    for name, r in results.get("views_caches", {}).items():
        row(f"{name}: without caches / with (alternating batches)",
            f"{us(r['without_us'] / 1e6)} / {us(r['with_us'] / 1e6)}, {r['ratio']:.2f}× "
            f"({r['ratio_min']:.2f}–{r['ratio_max']:.2f})", "≥ 1×")
    targets = {"sso_view": "≥ 5×", "callback_view": "≥ 1.10×", "metadata_view": "≥ 3×"}
    shared = results.get("shared_settings", {})
    for name in ("sso_view", "callback_view", "metadata_view", "logout_view", "validate_idp_config"):
        if name in shared:
            r = shared[name]
            row(f"{name}: settings object per IdP / built per request (paired batches)",
                f"{us(r['a'])} / {us(r['b'])}, {r['ratio']:.2f}× ({r['ratio_min']:.2f}–{r['ratio_max']:.2f})",
                targets.get(name, "≥ 1×"))
    if shared:
        row("  telling an in-place edit (mapping == its copy), per request", us(shared["edit_check"]["median"]))
        row("  building the settings object once", us(shared["settings_build"]["median"]))
        row("  memory of one IdP's entry (settings object and copy)", f"{shared['entry_bytes'] / 1024:.1f} KiB")
    for view, profile in results.get("profiles", {}).items():
        row(f"{view} under cProfile", ms(profile["seconds_per_call"]))
        for label, share in profile["groups"].items():
            row(f"  {label}", f"{share * 100:.1f} %")
        for entry in profile["by_own_time"][:10]:
            row(f"  {entry['function']}", f"{entry['own_share'] * 100:.1f} % own, "
                f"{entry['cumulative_share'] * 100:.1f} % with callees, {entry['calls_per_call']:g}× a view call")
    if "refresh_twin_sso" in results:
        for kind, label in (("sso", "SSO view"), ("callback", "callback, real signed response")):
            row(f"{label}, signed refreshed metadata, no refresh running (twin IdP)",
                us(results[f"refresh_twin_{kind}"]))
            row(f"  same IdP with its refresh in flight (paired batches)",
                f"{us(results[f'refresh_held_{kind}'])} ({results[f'refresh_held_{kind}_ratio']:.2f}×)", "≤ 1×")
            row(f"  while another IdP refreshes back to back",
                f"{us(results[f'refresh_busy_{kind}'])} ({results[f'refresh_busy_{kind}_ratio']:.2f}× quiet)")
        row("  refreshes back to back", f"{results['refresh_busy_refreshes_per_s']:.0f} per second")
    for n, r in results.get("user_mapping", {}).items():
        row(f"user mapping, {int(n):,} users", ms(r["median"]), "≤ 3 ms" if int(n) == 100_000 else "")
    for case, r in results.get("return_url", {}).items():
        row(f"return URL, {case}: C++ / Python twin",
            f"{us(r['a'])} / {us(r['b'])}, twin/C++ {r['ratio']:.2f}× ({r['ratio_min']:.2f}–{r['ratio_max']:.2f})",
            "≥ 1×" if case == "all cases in turn" else "")
    for n, r in results.get("memory_cleanup", {}).items():
        row(f"in-memory cleanup, {int(n):,} records", ms(r["median"]), "≤ 3 ms" if int(n) == 100_000 else "")
    for n, r in results.get("memcache_cycle", {}).items():
        row(f"memcache replay cycle, {int(n):,} records", f"{us(r['median'])}, {r['memcache_calls_per_cycle']:.0f} calls")
    base = None
    for p, r in results.get("contention", {}).items():
        base = base or r["cycles_per_s"]
        row(f"contention, {p} processes",
            f"{r['cycles_per_s']:,.0f} cycles/s ({r['cycles_per_s'] / base * 100:.0f} %), p50 {ms(r['p50'])}, "
            f"p99 {ms(r['p99'])}, max {ms(r['max'])}, {r['lock_attempts_per_cycle']:.2f} lock attempts/cycle, "
            f"{r['lost_records']} lost", "≥ 80 % at 4" if int(p) == 4 else "")
    if "capacity" in results:
        c = results["capacity"]
        row("shared mapping capacity", f"{c['records']:,} records ({c['value_bytes']:,} bytes), "
            f"{c['sustained_logins_per_s']:.1f} logins/s sustained at 5 min validity")
    replay_rows(results, row)
    width = max(len(r[0]) for r in rows)
    lines = [f"{'scenario'.ljust(width)}  figure  [target]"]
    for name, value, target in rows:
        lines.append(f"{name.ljust(width)}  {value}" + (f"  [{target}]" if target else ""))
    return "\n".join(lines)


def replay_rows(results, row):
    for label, key in (("one memcached", "replay_throughput"), ("3-node cluster", "cluster_throughput")):
        rates = results.get(key)
        if not rates:
            continue
        for series, by_processes in rates.items():
            kind, records = series.split("@")
            figures = " / ".join(f"{r['checks_per_s']:,.0f}" for r in by_processes.values())
            row(f"replay checks/s, {label}, {kind}, {int(records):,} live records, 1/2/4/8 processes", figures)
        keys10, map10 = rates.get("keys@10000"), rates.get("mapping@10000")
        if keys10 and map10:
            at4 = keys10["4"]["checks_per_s"] / map10["4"]["checks_per_s"]
            row(f"  key store / mapping, {label}, 10,000 records, 4 processes", f"{at4:,.1f}×", "≥ 10×")
        ratios = [rates[f"keys@{n}"][p]["checks_per_s"] / rates[f"mapping@{n}"][p]["checks_per_s"]
                  for n in ("0", "10000") if f"keys@{n}" in rates and f"mapping@{n}" in rates
                  for p in rates[f"keys@{n}"]]
        if ratios:
            row(f"  key store / mapping, {label}, lowest of every case", f"{min(ratios):,.2f}×", "≥ 1×")
        for n in ("0", "10000"):
            series = rates.get(f"keys@{n}")
            if series:
                growth = series["2"]["checks_per_s"] / series["1"]["checks_per_s"]
                row(f"  key store, {label}, {int(n):,} records: 2 processes / 1", f"{growth:,.2f}×",
                    "grows up to the cores (2)")
    cost = results.get("replay_check_cost")
    if cost:
        for kind, by_records in cost.items():
            for records, r in by_records.items():
                row(f"one replay check, {kind}, {int(records):,} live records", us(r["median"]))
        keys = cost.get("keys", {})
        if "1000000" in keys and "0" in keys:
            row("  key store, 1,000,000 records / empty (medians)",
                f"{keys['1000000']['median'] / keys['0']['median']:.2f}×", "≤ 1.5×")
        for records, r in keys.items():
            row(f"  key store, {int(records):,} records / an empty memcached (alternating batches)",
                f"{r['ratio_to_empty']:.2f}×", "≤ 1.5×" if records == "1000000" else "")
    cap = results.get("replay_capacity")
    if cap:
        row(f"key store capacity, memcached -m {cap['memory_mb']}",
            f"{cap['held_at_first_eviction']:,} records at the first eviction, "
            f"{cap['bytes_per_record']:.0f} bytes each (memcached's count)")
        million = cap.get("at_one_million")
        if million:
            row("  at 1,000,000 records", f"{million['items']:,} held, {million['evictions']} evictions, "
                f"{million['sample_found']:,} of {million['sample']:,} sampled found", "1,000,000 in 512 MB")
        row("  after the first eviction, oldest / newest 10,000 found",
            f"{cap['oldest_found'] * 100:.0f} % / {cap['newest_found'] * 100:.0f} %")


def plot_replay(results, path):
    plt = pyplot()
    if plt is None:
        return False
    fig, axes = plt.subplots(1, 3, figsize=(14, 4))
    styles = {"keys": "o-", "mapping": "s--"}
    for axis, key, title in ((axes[0], "replay_throughput", "One memcached"),
                             (axes[1], "cluster_throughput", "Three-node cluster")):
        for series, by_processes in results.get(key, {}).items():
            kind, records = series.split("@")
            ps = [int(p) for p in by_processes]
            axis.plot(ps, [r["checks_per_s"] for r in by_processes.values()], styles[kind],
                      label=f"{'key store' if kind == 'keys' else 'mapping'}, {int(records):,} records")
        axis.set_xlabel("processes")
        axis.set_ylabel("replay checks/s (all processes)")
        axis.set_yscale("log")
        axis.set_xticks([1, 2, 4, 8])
        axis.set_title(title)
        axis.legend(fontsize=7, loc="best")
    for kind, by_records in results.get("replay_check_cost", {}).items():
        axes[2].plot(range(len(by_records)), [r["median"] * 1e3 for r in by_records.values()], styles[kind],
                     label="key store" if kind == "keys" else "mapping")
        axes[2].set_xticks(range(len(by_records)), [f"{int(n):,}" for n in by_records])
    axes[2].set_yscale("log")
    axes[2].set_xlabel("live records")
    axes[2].set_ylabel("ms per replay check")
    axes[2].set_title("Cost of one check")
    axes[2].legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    return True


def pyplot():
    """matplotlib's pyplot drawing to files, or None when matplotlib is missing."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not installed: no plot", file=sys.stderr)
        return None
    return plt


def plot(results, path):
    plt = pyplot()
    if plt is None:
        return False
    fig, axes = plt.subplots(1, 3, figsize=(13, 3.8))
    if "user_mapping" in results:
        xs = [int(n) for n in results["user_mapping"]]
        axes[0].plot(xs, [r["median"] * 1e3 for r in results["user_mapping"].values()], "o-", label="user mapping")
    if "memory_cleanup" in results:
        xs = [int(n) for n in results["memory_cleanup"]]
        axes[0].plot(xs, [r["median"] * 1e3 for r in results["memory_cleanup"].values()], "s-",
                     label="in-memory cleanup")
    axes[0].set_xscale("log")
    axes[0].set_yscale("log")
    axes[0].set_xlabel("users / records")
    axes[0].set_ylabel("ms per call")
    axes[0].set_title("Scaling with users and records")
    axes[0].legend()
    if "contention" in results:
        ps = [int(p) for p in results["contention"]]
        axes[1].plot(ps, [r["cycles_per_s"] for r in results["contention"].values()], "o-")
        axes[1].set_xlabel("processes")
        axes[1].set_ylabel("replay-check cycles/s (all processes)")
        axes[1].set_title("Shared memcache lock")
        axes[1].set_ylim(bottom=0)
        axes[2].plot(ps, [r["p50"] * 1e3 for r in results["contention"].values()], "o-", label="p50")
        axes[2].plot(ps, [r["p99"] * 1e3 for r in results["contention"].values()], "s-", label="p99")
        axes[2].set_xlabel("processes")
        axes[2].set_ylabel("ms per cycle")
        axes[2].set_title("Replay-check latency")
        axes[2].legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    return True
