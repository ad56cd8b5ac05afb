#!/usr/bin/env python3
"""Renders the pod a StatefulSet of one would make, for `podman kube play`.

Podman 4.3 ignores StatefulSets and takes ConfigMaps only through --configmap,
so the check plays what Kubernetes itself would run: the StatefulSet's pod
template as pod NAME-0, its volume claim template as the claim CLAIM-NAME-0, and
the ConfigMaps in a file of their own. The image is replaced by the one under
test, and each container port is published on 127.0.0.1:HOSTPORT, since the
check reaches the pod from this machine. Exec probes are left out: podman 4.3
runs them through /bin/sh, which the image does not have (Kubernetes runs them
directly); the container check runs the same command as the image's health check.

Usage: render-kube-pod.py MANIFEST IMAGE HOSTPORT OUT_POD OUT_CONFIGMAPS
"""
import sys

import yaml


def main(manifest, image, host_port, pod_path, configmap_path):
    documents = [d for d in yaml.safe_load_all(open(manifest, encoding="utf-8")) if d]
    configmaps = [d for d in documents if d["kind"] == "ConfigMap"]
    sets = [d for d in documents if d["kind"] == "StatefulSet"]
    if len(sets) != 1:
        sys.exit("expected exactly one StatefulSet in " + manifest)
    statefulset = sets[0]
    name = statefulset["metadata"]["name"] + "-0"
    template = statefulset["spec"]["template"]
    spec = template["spec"]
    out = []
    for claim in statefulset["spec"].get("volumeClaimTemplates", []):
        claim_name = claim["metadata"]["name"]
        out.append({"apiVersion": "v1", "kind": "PersistentVolumeClaim",
                    "metadata": {"name": claim_name + "-" + name}, "spec": claim["spec"]})
        spec.setdefault("volumes", []).append(
            {"name": claim_name, "persistentVolumeClaim": {"claimName": claim_name + "-" + name}})
    for container in spec["containers"]:
        container["image"] = image
        for probe in ("livenessProbe", "readinessProbe", "startupProbe"):
            if "exec" in container.get(probe, {}):
                del container[probe]
        for port in container.get("ports", []):
            port["hostPort"] = int(host_port)
            port["hostIP"] = "127.0.0.1"
    out.append({"apiVersion": "v1", "kind": "Pod",
                "metadata": {"name": name, "labels": template["metadata"].get("labels", {})},
                "spec": spec})
    with open(pod_path, "w", encoding="utf-8") as f:
        yaml.safe_dump_all(out, f, sort_keys=False)
    with open(configmap_path, "w", encoding="utf-8") as f:
        yaml.safe_dump_all(configmaps, f, sort_keys=False)


if __name__ == "__main__":
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    main(*sys.argv[1:])
